// Reply decoder on arbitrary bytes and any quote character, checked against
// a literal re-statement of the tokenising rules (token 0 at the first
// character; spaces and quotes cut; a new token where a character follows a
// cut; an empty token for two quotes enclosing nothing; at most 32 tokens).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_host.h"
#include "vesk_decoders.h"

namespace {

// Start offsets of the tokens, computed on a copy cut the same way.
std::vector<std::size_t> expectedTokenStarts(std::string& buf, char quote) {
    std::vector<std::size_t> starts;
    if (buf.empty()) return starts;
    starts.push_back(0);
    bool inside = false;
    auto begins = [&](std::size_t i) {
        if (starts.size() == static_cast<std::size_t>(decodeVESKString::maxTokens)) return false;
        starts.push_back(i);
        return true;
    };
    for (std::size_t i = 0; i < buf.size(); ++i) {
        const char c = buf[i];
        const bool afterCut = i > 0 && buf[i - 1] == '\0';
        if (!inside) {
            if (c == quote) {
                buf[i] = '\0';
                inside = true;
                continue;
            }
            if (c == ' ') {
                buf[i] = '\0';
                continue;
            }
        } else if (c == quote) {
            buf[i] = '\0';
            inside = false;
            if (afterCut && !begins(i)) break;
            continue;
        }
        if (afterCut && !begins(i)) break;
    }
    return starts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // First byte: the quote character; 0xFF with nothing after it: a null text.
    const char quote = static_cast<char>(data[0]);
    if (size == 1 && data[0] == 0xFF) {
        const decodeVESKString reply(nullptr, '\'');
        FUZZ_CHECK(reply.tokenCount == 0 && reply.buffer == nullptr, "null reply");
        FUZZ_CHECK(reply.tokens[0] == vesk_emptyText, "null reply token 0");
        return 0;
    }
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string cut(input.c_str());
    const std::size_t length = cut.size();
    const decodeVESKString reply(input.c_str(), quote);
    FUZZ_CHECK(reply.quote == quote, "quote not kept");
    const std::vector<std::size_t> starts = expectedTokenStarts(cut, quote);

    FUZZ_CHECK(reply.tokenCount >= 0 && reply.tokenCount <= decodeVESKString::maxTokens,
               "token count out of range");
    FUZZ_CHECK(static_cast<std::size_t>(reply.tokenCount) == starts.size(), "token count");
    if (length == 0) FUZZ_CHECK(reply.buffer == nullptr, "empty reply allocates");
    for (int i = 0; i < decodeVESKString::maxTokens; ++i) {
        const char* token = reply.tokens[i];
        FUZZ_CHECK(token != nullptr, "null token");
        if (i >= reply.tokenCount) {
            FUZZ_CHECK(token == vesk_emptyText, "unfilled token is not the shared empty text");
            continue;
        }
        FUZZ_CHECK(token >= reply.buffer && token <= reply.buffer + length, "token outside the buffer");
        const std::size_t offset = static_cast<std::size_t>(token - reply.buffer);
        FUZZ_CHECK(offset == starts[static_cast<std::size_t>(i)], "token start");
        FUZZ_CHECK(std::string(cut.c_str() + offset) == token, "token text");
    }
    FUZZ_CHECK(*vesk_emptyText == '\0', "the shared empty text was written");
    return 0;
}
