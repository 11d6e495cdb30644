// stored_text.h - keeping a copy of a text that changes now and then.
//
// A tally slot or a control's text is set to a text of the same length
// over and over ("0", "1", ...), and a control is named by the same ids:
// compared and copied in place, byte by byte for short texts, without a
// call into the string class or the C library.
#ifndef VESK_HOST_STORED_TEXT_H
#define VESK_HOST_STORED_TEXT_H

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vhost {

// Whether two short texts are equal, without a call into the C library.
inline bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Makes `stored` equal to `text`; true when it changed.
inline bool storeText(std::string& stored, std::string_view text) {
    const std::size_t size = text.size();
    if (stored.size() != size) {
        stored.assign(text.data(), size);
        return true;
    }
    char* to = &stored[0];
    if (size <= 16) {
        bool changed = false;
        for (std::size_t i = 0; i < size; ++i) {
            if (to[i] != text[i]) {
                to[i] = text[i];
                changed = true;
            }
        }
        return changed;
    }
    if (std::memcmp(to, text.data(), size) == 0) return false;
    std::memcpy(to, text.data(), size);
    return true;
}

}  // namespace vhost

#endif  // VESK_HOST_STORED_TEXT_H
