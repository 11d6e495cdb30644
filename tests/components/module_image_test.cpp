// What a host and the tools of a facility see of the built module file: the
// one exported symbol, the version record and the framework's signature
// (an ELF module, or a PE module with a version resource on Windows).
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <elf.h>
#endif

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "loaded_module.h"
#include "vesk_host_abi.h"

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
    std::string runPath;             // DT_RUNPATH or DT_RPATH (ELF)
};

#if defined(_WIN32)

// The loaded PE image: its sections and the names in its export directory.
ModuleImage loadImage() {
    ModuleImage image;
    const HMODULE module = ::LoadLibraryA(modulePath().c_str());
    if (module == nullptr) return image;
    const char* base = reinterpret_cast<const char*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const char* bytes = base + section->VirtualAddress;
        image.sections.push_back(
            {std::string(reinterpret_cast<const char*>(section->Name), 8).c_str(),
             std::vector<char>(bytes, bytes + section->Misc.VirtualSize),
             (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0,
             (section->Characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA) != 0});
    }
    const IMAGE_DATA_DIRECTORY& exports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exports.VirtualAddress != 0) {
        const auto* directory =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
        for (DWORD i = 0; i < directory->NumberOfNames; ++i) image.exported.insert(base + names[i]);
    }
    ::FreeLibrary(module);
    return image;
}

// The string fields of the version resource, in the order of the ELF record.
std::vector<std::string> versionEntries() {
    std::vector<std::string> entries;
    const std::string path = modulePath();
    DWORD ignored = 0;
    std::vector<char> info(::GetFileVersionInfoSizeA(path.c_str(), &ignored));
    if (info.empty() || !::GetFileVersionInfoA(path.c_str(), 0, info.size(), info.data())) {
        return entries;
    }
    for (const char* key : {"FileVersion", "ProductVersion", "InternalName", "OriginalFilename",
                            "FileDescription", "HostAbiVersion"}) {
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + key;
        void* value = nullptr;
        UINT length = 0;
        if (::VerQueryValueA(info.data(), query.c_str(), &value, &length) && length > 0) {
            entries.push_back(std::string(key) + "=" + static_cast<const char*>(value));
        }
    }
    return entries;
}

#else

template <typename Ehdr, typename Shdr, typename Sym, typename Dyn>
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
        if (s.sh_type == SHT_DYNAMIC) {
            const Shdr& strings = headers.at(s.sh_link);
            for (size_t off = 0; off + sizeof(Dyn) <= s.sh_size; off += sizeof(Dyn)) {
                Dyn entry;
                std::memcpy(&entry, file.data() + s.sh_offset + off, sizeof entry);
                if (entry.d_tag == DT_RUNPATH || entry.d_tag == DT_RPATH) {
                    image.runPath = file.data() + strings.sh_offset + entry.d_un.d_val;
                }
            }
        }
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
    if (file[EI_CLASS] == ELFCLASS32) {
        return readImage<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>(file);
    }
    return readImage<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>(file);
}


const Section* findSection(const ModuleImage& image, const std::string& name) {
    for (const Section& s : image.sections) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

std::vector<std::string> versionEntries() {
    std::vector<std::string> entries;
    const ModuleImage image = loadImage();
    const Section* record = findSection(image, ".vesk_version");
    if (record == nullptr) return entries;
    for (size_t at = 0; at < record->bytes.size();) {
        const std::string entry(record->bytes.data() + at);
        if (!entry.empty()) entries.push_back(entry);
        at += entry.size() + 1;
    }
    return entries;
}

#endif

TEST(ModuleImage, ExportsOnlyTheFactory) {
    const ModuleImage image = loadImage();
    EXPECT_EQ(image.exported, std::set<std::string>{"load_vesk_client_script"});
}

TEST(ModuleImage, CarriesItsVersionRecord) {
    const std::vector<std::string> entries = versionEntries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0], "FileVersion=1.0.0.1");
    EXPECT_EQ(entries[1], "ProductVersion=1.0.0.1");
    EXPECT_EQ(entries[2], "InternalName=Varnik");
    EXPECT_EQ(entries[3], "OriginalFilename=Varnik");
    EXPECT_EQ(entries[4].rfind("FileDescription=", 0), 0u);
    // The host ABI the module was compiled for, which a host checks at load.
    EXPECT_EQ(entries[5], "HostAbiVersion=" VESK_HOST_ABI_TEXT);
}

#if !defined(_WIN32)
// The dynamic linker reads an empty run path entry as the current folder:
// a library planted there would be loaded into the host.
TEST(ModuleImage, RunPathHasNoEmptyEntry) {
    const std::string runPath = loadImage().runPath;
    ASSERT_FALSE(runPath.empty());
    std::vector<std::string> entries;
    for (size_t start = 0;;) {
        const size_t colon = runPath.find(':', start);
        entries.push_back(runPath.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    for (const std::string& entry : entries) EXPECT_FALSE(entry.empty()) << runPath;
    EXPECT_EQ(entries.front(), "$ORIGIN") << runPath;
}
#endif

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
