#include "plugins/module_imports.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vhost {

namespace {

// Little-endian fields of the file, as the PE format has them.
struct Bytes {
    const std::vector<unsigned char>& data;
    bool has(std::size_t at, std::size_t size) const {
        return at <= data.size() && size <= data.size() - at;
    }
    std::uint32_t u16(std::size_t at) const {
        return has(at, 2) ? static_cast<std::uint32_t>(data[at] | data[at + 1] << 8) : 0;
    }
    std::uint32_t u32(std::size_t at) const {
        return has(at, 4) ? static_cast<std::uint32_t>(data[at]) |
                                static_cast<std::uint32_t>(data[at + 1]) << 8 |
                                static_cast<std::uint32_t>(data[at + 2]) << 16 |
                                static_cast<std::uint32_t>(data[at + 3]) << 24
                          : 0;
    }
};

struct SectionSpan {
    std::uint32_t address;  // relative virtual address
    std::uint32_t size;
    std::uint32_t file;     // its offset in the file
};

}  // namespace

std::vector<std::string> importedModules(const std::string& path) {
    std::vector<std::string> names;
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const Bytes file{data};
    if (!file.has(0, 64) || data[0] != 'M' || data[1] != 'Z') return names;
    const std::size_t pe = file.u32(0x3C);
    if (!file.has(pe, 24) || std::memcmp(data.data() + pe, "PE\0\0", 4) != 0) return names;
    const std::uint32_t sectionCount = file.u16(pe + 6);
    const std::uint32_t optionalSize = file.u16(pe + 20);
    const std::size_t optional = pe + 24;
    const std::uint32_t magic = file.u16(optional);
    // The data directories follow the optional header's fixed part; the
    // import directory is the second of them.
    const std::size_t directories = optional + (magic == 0x20b ? 112 : magic == 0x10b ? 96 : 0);
    if (directories == optional || file.u32(directories - 4) < 2) return names;
    const std::uint32_t imports = file.u32(directories + 8);
    if (imports == 0) return names;

    std::vector<SectionSpan> sections;
    const std::size_t table = optional + optionalSize;
    for (std::uint32_t i = 0; i < sectionCount && file.has(table + i * 40, 40); ++i) {
        const std::size_t at = table + i * 40;
        const std::uint32_t virtualSize = file.u32(at + 8);
        const std::uint32_t rawSize = file.u32(at + 16);
        sections.push_back({file.u32(at + 12), virtualSize > rawSize ? virtualSize : rawSize,
                            file.u32(at + 20)});
    }
    auto offsetOf = [&](std::uint32_t address, std::size_t& offset) {
        for (const SectionSpan& s : sections) {
            if (address >= s.address && address - s.address < s.size) {
                offset = static_cast<std::size_t>(s.file) + (address - s.address);
                return file.has(offset, 1);
            }
        }
        return false;
    };
    std::size_t descriptor = 0;
    if (!offsetOf(imports, descriptor)) return names;
    // 20-byte descriptors, ended by one of zeros; the fourth field names the DLL.
    for (; file.has(descriptor, 20) && names.size() < 4096; descriptor += 20) {
        const std::uint32_t nameAddress = file.u32(descriptor + 12);
        if (nameAddress == 0 && file.u32(descriptor + 16) == 0) break;
        std::size_t name = 0;
        if (!offsetOf(nameAddress, name)) continue;
        std::string text;
        while (name < data.size() && data[name] != 0 && text.size() < 260) {
            text.push_back(static_cast<char>(data[name++]));
        }
        if (!text.empty()) names.push_back(text);
    }
    return names;
}

}  // namespace vhost
