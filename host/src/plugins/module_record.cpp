#include "plugins/module_record.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <elf.h>
#endif

#include <cstring>
#include <fstream>
#include <vector>

namespace vhost {

const char* const hostAbiField = "HostAbiVersion";

#if defined(_WIN32)

ModuleRecord readModuleRecord(const std::string& path) {
    ModuleRecord record;
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    record.module = file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
    if (!record.module) return record;
    std::map<std::string, std::string>& fields = record.fields;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return record;
    std::vector<char> block(size);
    if (!::GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return record;
    // The fields vesk_add_component writes, in its one language block.
    for (const char* key : {"FileVersion", "ProductVersion", "InternalName", "OriginalFilename",
                            "FileDescription", hostAbiField}) {
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + key;
        void* value = nullptr;
        UINT length = 0;
        if (::VerQueryValueA(block.data(), query.c_str(), &value, &length) && value != nullptr &&
            length > 0) {
            fields[key] = std::string(static_cast<const char*>(value),
                                      ::strnlen(static_cast<const char*>(value), length));
        }
    }
    return record;
}

#else

namespace {

// Reads `size` bytes at `offset`; false when the file is shorter.
bool readAt(std::ifstream& file, std::uint64_t offset, void* out, std::size_t size) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(file.gcount()) == size;
}

// The bytes of the section called `wanted`, for an ELF file of either width
// in the host's own byte order (a module of another cannot be loaded anyway).
template <typename Header, typename Section>
bool sectionBytes(std::ifstream& file, const char* wanted, std::vector<char>& bytes) {
    Header header{};
    if (!readAt(file, 0, &header, sizeof header)) return false;
    if (header.e_shentsize != sizeof(Section) || header.e_shstrndx >= header.e_shnum) return false;
    // Bounds against absurd headers: a module has a few dozen sections.
    if (header.e_shnum > 4096) return false;
    std::vector<Section> sections(header.e_shnum);
    if (!readAt(file, header.e_shoff, sections.data(), sections.size() * sizeof(Section))) {
        return false;
    }
    const Section& names = sections[header.e_shstrndx];
    if (names.sh_size > (1u << 20)) return false;
    std::vector<char> nameTable(names.sh_size + 1, '\0');
    if (!readAt(file, names.sh_offset, nameTable.data(), names.sh_size)) return false;
    for (const Section& section : sections) {
        if (section.sh_name >= names.sh_size) continue;
        if (std::strcmp(nameTable.data() + section.sh_name, wanted) != 0) continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > (1u << 16)) return false;
        bytes.resize(section.sh_size);
        return readAt(file, section.sh_offset, bytes.data(), bytes.size());
    }
    return false;
}

}  // namespace

ModuleRecord readModuleRecord(const std::string& path) {
    ModuleRecord record;
    std::ifstream file(path, std::ios::binary);
    unsigned char ident[EI_NIDENT] = {};
    if (!file || !readAt(file, 0, ident, sizeof ident)) return record;
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return record;
    const unsigned char ownOrder = [] {
        const std::uint16_t probe = 1;
        unsigned char first = 0;
        std::memcpy(&first, &probe, 1);
        return first == 1 ? ELFDATA2LSB : ELFDATA2MSB;
    }();
    if (ident[EI_DATA] != ownOrder) return record;
    record.module = true;
    std::vector<char> bytes;
    const bool found =
        ident[EI_CLASS] == ELFCLASS64
            ? sectionBytes<Elf64_Ehdr, Elf64_Shdr>(file, ".vesk_version", bytes)
            : ident[EI_CLASS] == ELFCLASS32 &&
                  sectionBytes<Elf32_Ehdr, Elf32_Shdr>(file, ".vesk_version", bytes);
    if (!found) return record;
    // "key=value" texts, each ended by a NUL.
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\0') ++end;
        const std::string entry(bytes.data() + start, end - start);
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos && equals > 0) {
            record.fields.emplace(entry.substr(0, equals), entry.substr(equals + 1));
        }
        start = end + 1;
    }
    return record;
}

#endif

}  // namespace vhost
