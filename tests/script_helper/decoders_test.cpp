// decodeKeyString and decodeVESKString: the splitting rules and the shared
// empty text behind every unfilled field.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vesk_decoders.h"

namespace {

using Texts = std::vector<std::string>;

std::string repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

Texts numberedWords(int count) {
    Texts words;
    for (int i = 1; i <= count; ++i) words.push_back("w" + std::to_string(i));
    return words;
}

std::string joined(const Texts& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Input of the key cases: a text, or null.
struct Input {
    bool isNull;
    std::string text;
    const char* get() const { return isNull ? nullptr : text.c_str(); }
};
const Input nullInput{true, ""};
Input text(const std::string& t) { return Input{false, t}; }

struct KeyCase {
    Input input;
    std::string name;
    Texts parts;
    bool hasValue;
    std::string value;
};

TEST(DecodeKeyString, SplitsNamePartsAndValue) {
    const KeyCase cases[] = {
        {nullInput, "", {}, false, ""},
        {text(""), "", {}, false, ""},
        {text("abc"), "abc", {}, false, ""},
        {text("a.b"), "a", {"b"}, false, ""},
        {text("a.b.d=x"), "a", {"b", "d"}, true, "x"},
        {text("a=b=c.d"), "a", {}, true, "b=c.d"},
        {text(".x"), "", {"x"}, false, ""},
        {text("a..b"), "a", {"", "b"}, false, ""},
        {text("a."), "a", {""}, false, ""},
        {text("a.b="), "a", {"b"}, true, ""},
        {text("="), "", {}, true, ""},
        {text("instance=cam 1"), "instance", {}, true, "cam 1"},
        {text(" sp . x = y "), " sp ", {" x "}, true, " y "},
        {text("n" + repeated(".p", 31) + "=v"), "n", Texts(31, "p"), true, "v"},
        {text("n" + repeated(".p", 32) + "=v"), "n", [] {
             Texts parts(31, "p");
             parts.push_back("p=v");
             return parts;
         }(), false, ""},
        {text("n" + repeated(".p", 33)), "n", [] {
             Texts parts(31, "p");
             parts.push_back("p.p");
             return parts;
         }(), false, ""},
        {text("n" + repeated(".p", 32)), "n", Texts(32, "p"), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.isNull ? std::string("(null)") : "\"" + c.input.text + "\"");
        const decodeKeyString key(c.input.get());
        EXPECT_EQ(key.name, c.name);
        ASSERT_EQ(key.partCount, static_cast<int>(c.parts.size()));
        for (int i = 0; i < key.partCount; ++i) EXPECT_EQ(key.parts[i], c.parts[i]) << "part " << i;
        for (int i = key.partCount; i < VESK_KEY_MAX_PARTS; ++i) {
            EXPECT_EQ(key.parts[i], vesk_emptyText) << "unfilled part " << i;
        }
        EXPECT_EQ(key.hasValue, c.hasValue);
        EXPECT_EQ(key.value, c.value);
        if (!c.hasValue) {
            EXPECT_EQ(key.value, vesk_emptyText);
        }
        if (c.input.isNull || c.input.text.empty()) {
            EXPECT_EQ(key.buffer, nullptr);
            EXPECT_EQ(key.name, vesk_emptyText);
        }
    }
}

TEST(DecodeKeyString, PiecesOutliveTheInput) {
    auto input = std::make_unique<std::string>("name.part=value");
    const decodeKeyString key(input->c_str());
    (*input)[0] = 'X';
    input.reset();
    EXPECT_STREQ(key.name, "name");
    EXPECT_STREQ(key.parts[0], "part");
    EXPECT_STREQ(key.value, "value");
    EXPECT_EQ(key.name, key.buffer);  // all pieces live in the decoder's own copy
}

struct ReplyCase {
    Input input;
    Texts tokens;
};

TEST(DecodeVESKString, SplitsRepliesWithApostropheQuotes) {
    Texts words32 = numberedWords(32);
    Texts words31 = numberedWords(31);
    Texts words31AndEmpty = words31;
    words31AndEmpty.push_back("");
    const ReplyCase cases[] = {
        {nullInput, {}},
        {text(""), {}},
        {text("12 5"), {"12", "5"}},
        {text("a  b"), {"a", "b"}},
        {text("a "), {"a"}},
        {text("  a"), {"", "a"}},
        {text(" "), {""}},
        {text("'a b' d"), {"", "a b", "d"}},
        {text("a '' b"), {"a", "", "b"}},
        {text("a'b'"), {"a", "b"}},
        {text("'abc"), {"", "abc"}},
        {text("'ab c  d"), {"", "ab c  d"}},
        {text("''"), {"", ""}},
        {text("a\tb"), {"a\tb"}},
        {text("12 'x y'z"), {"12", "x y", "z"}},
        {text("'12' 5"), {"", "12", "5"}},
        {text("a\"b c\""), {"a\"b", "c\""}},
        {text(joined(words32)), words32},
        {text(joined(numberedWords(33))), words32},
        {text(joined(numberedWords(40)) + " 'x y'"), words32},
        {text(joined(words31) + " ''"), words31AndEmpty},
        {text(joined(words32) + " ''"), words32},
        {text(joined(words31) + " 'last one' more"), [&] {
             Texts t = words31;
             t.push_back("last one");
             return t;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.isNull ? std::string("(null)") : "\"" + c.input.text + "\"");
        const decodeVESKString reply(c.input.get(), '\'');
        EXPECT_EQ(reply.quote, '\'');
        ASSERT_EQ(reply.tokenCount, static_cast<int>(c.tokens.size()));
        for (int i = 0; i < reply.tokenCount; ++i) EXPECT_EQ(reply.tokens[i], c.tokens[i]) << i;
        for (int i = reply.tokenCount; i < decodeVESKString::maxTokens; ++i) {
            EXPECT_EQ(reply.tokens[i], vesk_emptyText) << "unfilled token " << i;
        }
        if (c.input.isNull || c.input.text.empty()) {
            EXPECT_EQ(reply.buffer, nullptr);
        }
    }
}

TEST(DecodeVESKString, QuoteCharacterIsTheCallers) {
    const decodeVESKString reply("say \"a b\" 'c d'", '"');
    ASSERT_EQ(reply.tokenCount, 4);
    EXPECT_STREQ(reply.tokens[0], "say");
    EXPECT_STREQ(reply.tokens[1], "a b");
    EXPECT_STREQ(reply.tokens[2], "'c");
    EXPECT_STREQ(reply.tokens[3], "d'");
}

TEST(DecodeVESKString, DeletableThroughPointerAndIndependentOfInput) {
    auto input = std::make_unique<std::string>("7 9");
    std::unique_ptr<decodeVESKString> reply(new decodeVESKString(input->c_str(), '\''));
    input.reset();
    EXPECT_STREQ(reply->tokens[0], "7");
    EXPECT_STREQ(reply->tokens[1], "9");
    // Reading beyond the count of a short reply gives empty texts, not nulls.
    EXPECT_STREQ(reply->tokens[2], "");
    EXPECT_STREQ(reply->tokens[31], "");
}

}  // namespace
