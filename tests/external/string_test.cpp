// vesk_string: the operations the framework and the component rely on.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "vesk_string.h"

namespace {

struct ToIntCase {
    const char* text;
    int expected;
};

TEST(VeskString, ToIntReadsLikeAtoiAndClamps) {
    const ToIntCase cases[] = {
        {"", 0},
        {"0", 0},
        {"42", 42},
        {"007", 7},
        {"-17", -17},
        {"+8", 8},
        {"  12", 12},
        {"\t\n7", 7},
        {"12abc", 12},
        {"3 4", 3},
        {"1.9", 1},
        {"abc", 0},
        {"x1", 0},
        {"- 5", 0},
        {"--1", 0},
        {"+-1", 0},
        {"-", 0},
        {"-0", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999999", INT_MAX},
        {"-99999999999999999999999999", INT_MIN},
        {"00000000000000000000000000042", 42},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vesk_string(c.text).toInt(), c.expected) << "text \"" << c.text << "\"";
    }
}

struct SplitCase {
    const char* text;
    char separator;
    const char* first;
    const char* second;
    int result;
};

TEST(VeskString, SplitAtFirstSeparator) {
    const SplitCase cases[] = {
        {"name=value", '=', "name", "value", 1},
        {"a=b=c", '=', "a", "b=c", 1},
        {"=x", '=', "", "x", 1},
        {"x=", '=', "x", "", 1},
        {"=", '=', "", "", 1},
        {"none", '=', "none", "", 0},
        {"", '=', "", "", 0},
        {"a,b", ',', "a", "b", 1},
    };
    for (const auto& c : cases) {
        vesk_string first("stale");
        vesk_string second("stale");
        EXPECT_EQ(vesk_string(c.text).split(c.separator, first, second), c.result) << c.text;
        EXPECT_STREQ(first.c_str(), c.first) << c.text;
        EXPECT_STREQ(second.c_str(), c.second) << c.text;
    }
}

TEST(VeskString, SplitIntoItself) {
    vesk_string text("left=right");
    vesk_string other;
    text.split('=', text, other);
    EXPECT_STREQ(text.c_str(), "left");
    EXPECT_STREQ(other.c_str(), "right");

    vesk_string whole("nothing");
    vesk_string first;
    whole.split('=', first, whole);
    EXPECT_STREQ(first.c_str(), "nothing");
    EXPECT_STREQ(whole.c_str(), "");
}

TEST(VeskString, ArgFillsLowestPlaceholderInTurn) {
    const vesk_string pattern("%1 and %2");
    EXPECT_STREQ(pattern.arg("a").c_str(), "a and %2");
    EXPECT_STREQ(pattern.arg("a").arg("b").c_str(), "a and b");
    EXPECT_STREQ(pattern.arg("a").arg("b").arg("c").c_str(), "a and b");  // none left
    EXPECT_STREQ(pattern.c_str(), "%1 and %2");                           // unchanged

    // The lowest number goes first, wherever it stands.
    EXPECT_STREQ(vesk_string("%2-%1").arg("x").c_str(), "%2-x");
    EXPECT_STREQ(vesk_string("%2-%1").arg("x").arg("y").c_str(), "y-x");
    EXPECT_STREQ(vesk_string("%3 %7").arg("p").arg("q").c_str(), "p q");
    // Gaps and non-placeholders.
    EXPECT_STREQ(vesk_string("100% %0 %1").arg("z").c_str(), "100% %0 z");
    EXPECT_STREQ(vesk_string("no placeholder").arg("z").c_str(), "no placeholder");
    EXPECT_STREQ(vesk_string("").arg("z").c_str(), "");
    EXPECT_STREQ(vesk_string("%").arg("z").c_str(), "%");
    // Every occurrence of the placeholder takes the same argument.
    EXPECT_STREQ(vesk_string("%1/%1").arg("d").c_str(), "d/d");
    // An empty argument removes the placeholder.
    EXPECT_STREQ(vesk_string("[%1]").arg("").c_str(), "[]");
    // The inserted text is not filled again by the same call.
    EXPECT_STREQ(vesk_string("%1 %2").arg("%2").c_str(), "%2 %2");
}

TEST(VeskString, ArgWithNumbers) {
    const vesk_string pattern("instances.%1");
    EXPECT_STREQ(pattern.arg(5, '\0', 0, 10).c_str(), "instances.5");
    EXPECT_STREQ(vesk_string("%1").arg(0, '\0', 0, 10).c_str(), "0");
    EXPECT_STREQ(vesk_string("%1").arg(-42, '\0', 0, 10).c_str(), "-42");
    EXPECT_STREQ(vesk_string("%1").arg(INT_MAX, '\0', 0, 10).c_str(), "2147483647");
    EXPECT_STREQ(vesk_string("%1").arg(INT_MIN, '\0', 0, 10).c_str(), "-2147483648");
    EXPECT_STREQ(vesk_string("IW %1 '").arg(12, '\0', 0, 10).c_str(), "IW 12 '");
    EXPECT_STREQ(vesk_string("%1 %2").arg(1, '\0', 0, 10).arg("x").c_str(), "1 x");
}

TEST(VeskString, IntConstructorIsPlainDecimal) {
    const struct {
        int value;
        const char* text;
    } cases[] = {{1, "1"}, {0, "0"}, {-1, "-1"}, {500, "500"}, {INT_MAX, "2147483647"},
                 {INT_MIN, "-2147483648"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(vesk_string(c.value, '\0', 0, 10).c_str(), c.text) << c.value;
    }
    // A width without a pad character adds nothing.
    EXPECT_STREQ(vesk_string(7, '\0', 5, 10).c_str(), "7");
}

TEST(VeskString, EqualityIsExact) {
    const vesk_string abc("abc");
    EXPECT_TRUE(abc == "abc");
    EXPECT_TRUE(abc == vesk_string("abc"));
    EXPECT_FALSE(abc == "ABC");
    EXPECT_FALSE(abc == "abc ");
    EXPECT_FALSE(abc == "ab");
    EXPECT_TRUE(abc != vesk_string("Abc"));
    EXPECT_FALSE(abc != vesk_string("abc"));
    EXPECT_FALSE(vesk_string("01") == "1");
    // == "" tests emptiness.
    EXPECT_TRUE(vesk_string() == "");
    EXPECT_TRUE(vesk_string("") == "");
    EXPECT_FALSE(vesk_string(" ") == "");
}

TEST(VeskString, BuildingAndCopying) {
    vesk_string text("TP '");
    text += "text";
    text += vesk_string("=1");
    EXPECT_STREQ(text.c_str(), "TP 'text=1");
    EXPECT_EQ(text.length(), 10);

    EXPECT_STREQ(("a" + vesk_string("b")).c_str(), "ab");
    EXPECT_STREQ((vesk_string("a") + "b").c_str(), "ab");
    EXPECT_STREQ((vesk_string("a") + vesk_string("b")).c_str(), "ab");

    vesk_string copy(text);
    copy += "!";
    EXPECT_STREQ(text.c_str(), "TP 'text=1");  // the copy is independent
    EXPECT_STREQ(copy.c_str(), "TP 'text=1!");

    vesk_string assigned;
    assigned = "x";
    assigned = copy;
    EXPECT_STREQ(assigned.c_str(), "TP 'text=1!");
    assigned = assigned;  // self-assignment keeps the text
    EXPECT_STREQ(assigned.c_str(), "TP 'text=1!");

    // Callers copy length() + 1 bytes of the converted text.
    const char* converted = copy;
    EXPECT_EQ(converted[copy.length()], '\0');
    EXPECT_EQ(std::strlen(converted), static_cast<size_t>(copy.length()));

    // A null text reads as empty.
    EXPECT_EQ(vesk_string(static_cast<const char*>(nullptr)).length(), 0);
}

TEST(VeskString, LowerReturnsCopy) {
    const vesk_string text("GpI-Z 9");
    EXPECT_STREQ(text.lower().c_str(), "gpi-z 9");
    EXPECT_STREQ(text.c_str(), "GpI-Z 9");
    EXPECT_TRUE(vesk_string("G").lower() == "g");
    EXPECT_TRUE(vesk_string("").lower() == "");
}

}  // namespace
