// hex_bytes.h - packets as hexadecimal text, as the scenario steps and the
// timeline write them.
#ifndef VESK_HOST_BRIDGES_HEX_BYTES_H
#define VESK_HOST_BRIDGES_HEX_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vhost {
namespace tsl {

// Two hexadecimal digits a byte, spaces between bytes allowed; false on
// anything else.
bool parseHex(const std::string& text, std::vector<std::uint8_t>& out);
// Spaced every two bytes: "0f00 0000 ...".
std::string toHex(const std::uint8_t* data, std::size_t size);

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_HEX_BYTES_H
