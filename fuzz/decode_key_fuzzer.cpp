// Key decoder on arbitrary bytes, checked against a straightforward
// re-statement of the splitting rules: name to the first '.' or '=', a part
// after each '.', the value after the first '=', at most 32 parts (after
// the 32nd '.' the last part keeps the rest of the text, '=' included).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_host.h"
#include "vesk_decoders.h"

namespace {

struct ExpectedKey {
    std::string name;
    std::vector<std::string> parts;
    bool hasValue = false;
    std::string value;
};

ExpectedKey expectedSplit(const std::string& text) {
    ExpectedKey key;
    std::string* current = &key.name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (key.parts.size() == VESK_KEY_MAX_PARTS) {
            // The scan has ended: the rest belongs to the last part.
            current->append(text, i, std::string::npos);
            break;
        }
        if (c == '.') {
            key.parts.emplace_back();
            current = &key.parts.back();
        } else if (c == '=') {
            key.hasValue = true;
            key.value = text.substr(i + 1);
            break;
        } else {
            current->push_back(c);
        }
    }
    return key;
}

bool pointsInto(const char* piece, const char* buffer, std::size_t length) {
    return buffer != nullptr && piece >= buffer && piece <= buffer + length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A leading 0xFF byte alone stands for a null text.
    if (size == 1 && data[0] == 0xFF) {
        const decodeKeyString key(nullptr);
        FUZZ_CHECK(key.buffer == nullptr && key.name == vesk_emptyText, "null key");
        FUZZ_CHECK(key.partCount == 0 && !key.hasValue && key.value == vesk_emptyText, "null key");
        return 0;
    }
    // The decoder reads up to the first NUL, as a C text.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text(input.c_str());
    const decodeKeyString key(input.c_str());
    const ExpectedKey expected = expectedSplit(text);

    if (text.empty()) {
        FUZZ_CHECK(key.buffer == nullptr, "empty key allocates");
        FUZZ_CHECK(key.name == vesk_emptyText, "empty key name");
    } else {
        FUZZ_CHECK(pointsInto(key.name, key.buffer, text.size()), "name outside the buffer");
    }
    FUZZ_CHECK(key.partCount >= 0 && key.partCount <= VESK_KEY_MAX_PARTS, "part count out of range");
    FUZZ_CHECK(static_cast<std::size_t>(key.partCount) == expected.parts.size(), "part count");
    FUZZ_CHECK(key.name == std::string(key.name) && expected.name == key.name, "name");
    for (int i = 0; i < VESK_KEY_MAX_PARTS; ++i) {
        FUZZ_CHECK(key.parts[i] != nullptr, "null part");
        if (i < key.partCount) {
            FUZZ_CHECK(pointsInto(key.parts[i], key.buffer, text.size()), "part outside the buffer");
            FUZZ_CHECK(expected.parts[static_cast<std::size_t>(i)] == key.parts[i], "part text");
        } else {
            FUZZ_CHECK(key.parts[i] == vesk_emptyText, "unfilled part is not the shared empty text");
        }
    }
    FUZZ_CHECK(key.hasValue == expected.hasValue, "hasValue");
    FUZZ_CHECK(key.value != nullptr && expected.value == key.value, "value");
    if (!key.hasValue) FUZZ_CHECK(key.value == vesk_emptyText, "value without '='");
    FUZZ_CHECK(*vesk_emptyText == '\0', "the shared empty text was written");
    return 0;
}
