// The host's reading of a plug-in's command text, on arbitrary bytes.
// Invariants: the one-pass readers of the update commands ("IW", "TP")
// accept only what the general reader reads as the same command, with the
// same numbers and texts; the general reader's views stay inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "text/command_reader.h"

namespace {

using namespace vhost;

void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CommandView general;
    const char* error = nullptr;
    const bool read = readCommand(text, general, error);
    if (read) {
        if (!inside(general.word, text)) broken("the word lies outside the text");
        for (std::size_t i = 0; i < general.count && i < CommandView::maxArgs; ++i) {
            if (!inside(general.args[i].text(), text)) broken("an argument lies outside the text");
        }
    } else if (error == nullptr) {
        broken("a refused command without a reason");
    }
    auto number = [&](std::size_t i, std::int32_t expected) {
        const auto value = parseInt32(general.args[i].text());
        return !general.args[i].quoted && value && *value == expected;
    };
    auto quoted = [&](std::size_t i, std::string_view expected) {
        return general.args[i].quoted && general.args[i].text() == expected &&
               general.args[i].text().data() == expected.data();
    };
    InfoWriteView write;
    if (readInfoWrite(text, write)) {
        if (!read || general.word != "IW" || general.count != 4 || !number(0, write.device) ||
            !quoted(1, write.text) || !number(2, write.slot) || general.args[3].quoted || !parseInt32(general.args[3].text())) {
            broken("IW read in one pass differs from the general reader");
        }
    }
    TextPutView put;
    if (readTextPut(text, put)) {
        if (!read || general.word != "TP" || general.count != 3 || !quoted(0, put.assignment) ||
            !quoted(1, put.panel) || !quoted(2, put.control)) {
            broken("TP read in one pass differs from the general reader");
        }
    }
    return 0;
}
