// What a host and the tools of a facility see of the built module file: the
// one exported symbol, the version record and the framework's signature.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "loaded_module.h"

namespace {

struct Section {
    std::string name;
    std::vector<char> bytes;
    bool writable;
    bool allocated;
};

struct ModuleImage {
    std::vector<Section> sections;
    std::set<std::string> exported;  // defined global dynamic symbols
};

template <typename Ehdr, typename Shdr, typename Sym>
ModuleImage readImage(const std::vector<char>& file) {
    ModuleImage image;
    Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    std::vector<Shdr> headers(header.e_shnum);
    for (size_t i = 0; i < headers.size(); ++i) {
        std::memcpy(&headers[i], file.data() + header.e_shoff + i * header.e_shentsize,
                    sizeof(Shdr));
    }
    const Shdr& names = headers.at(header.e_shstrndx);
    auto bytesOf = [&](const Shdr& s) {
        if (s.sh_type == SHT_NOBITS) return std::vector<char>();
        return std::vector<char>(file.begin() + s.sh_offset,
                                 file.begin() + s.sh_offset + s.sh_size);
    };
    for (const Shdr& s : headers) {
        image.sections.push_back({file.data() + names.sh_offset + s.sh_name, bytesOf(s),
                                  (s.sh_flags & SHF_WRITE) != 0, (s.sh_flags & SHF_ALLOC) != 0});
        if (s.sh_type != SHT_DYNSYM) continue;
        const Shdr& strings = headers.at(s.sh_link);
        for (size_t off = 0; off + sizeof(Sym) <= s.sh_size; off += sizeof(Sym)) {
            Sym symbol;
            std::memcpy(&symbol, file.data() + s.sh_offset + off, sizeof symbol);
            const int binding = symbol.st_info >> 4;
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0) continue;
            if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
            image.exported.insert(file.data() + strings.sh_offset + symbol.st_name);
        }
    }
    return image;
}

ModuleImage loadImage() {
    std::ifstream in(modulePath(), std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) return {};
    if (file[EI_CLASS] == ELFCLASS32) return readImage<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(file);
    return readImage<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(file);
}

const Section* findSection(const ModuleImage& image, const std::string& name) {
    for (const Section& s : image.sections) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

TEST(ModuleImage, ExportsOnlyTheFactory) {
    const ModuleImage image = loadImage();
    EXPECT_EQ(image.exported, std::set<std::string>{"load_vesk_client_script"});
}

TEST(ModuleImage, CarriesItsVersionRecord) {
    const ModuleImage image = loadImage();
    const Section* record = findSection(image, ".vesk_version");
    ASSERT_NE(record, nullptr);
    std::vector<std::string> entries;
    for (size_t at = 0; at < record->bytes.size();) {
        const std::string entry(record->bytes.data() + at);
        if (!entry.empty()) entries.push_back(entry);
        at += entry.size() + 1;
    }
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0], "FileVersion=1.0.0.1");
    EXPECT_EQ(entries[1], "ProductVersion=1.0.0.1");
    EXPECT_EQ(entries[2], "InternalName=Varnik");
    EXPECT_EQ(entries[3], "OriginalFilename=Varnik");
    EXPECT_EQ(entries[4].rfind("FileDescription=", 0), 0u);
}

TEST(ModuleImage, SignatureStandsInInitialisedData) {
    const std::string signature =
        "VESK_SIG,name=vesk_script_helper,type=LIB,version=4.8.6.0,date=16/06/2017,author=";
    const ModuleImage image = loadImage();
    const Section* found = nullptr;
    for (const Section& s : image.sections) {
        const std::string bytes(s.bytes.begin(), s.bytes.end());
        if (s.allocated && bytes.find(signature) != std::string::npos) found = &s;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(found->writable) << found->name;
    const std::string bytes(found->bytes.begin(), found->bytes.end());
    const size_t at = bytes.find(signature);
    EXPECT_GT(std::strlen(found->bytes.data() + at), signature.size()) << "author's name missing";
}

}  // namespace
