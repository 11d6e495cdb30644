// vesk_stringlist: splitting at a separator, joining, walking.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vesk_stringlist.h"

namespace {

std::vector<std::string> itemsOf(const vesk_stringlist& list) {
    std::vector<std::string> items;
    for (vesk_stringlistIterator it = list.begin(); it != list.end(); ++it) {
        items.push_back((*it).c_str());
    }
    return items;
}

using Items = std::vector<std::string>;

TEST(VeskStringList, SplitsAtSeparatorKeepingEmptyPieces) {
    const struct {
        const char* text;
        Items items;
    } cases[] = {
        {"", {}},
        {"alm_1", {"alm_1"}},
        {"alm_1,alm_2,alm_3", {"alm_1", "alm_2", "alm_3"}},
        {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {",", {"", ""}},
        {" a , b ", {" a ", " b "}},
        {"a;b", {"a;b"}},
    };
    for (const auto& c : cases) {
        const vesk_stringlist list(c.text, ',');
        EXPECT_EQ(itemsOf(list), c.items) << "text \"" << c.text << "\"";
        EXPECT_EQ(list.count(), static_cast<int>(c.items.size())) << c.text;
    }
    EXPECT_EQ(itemsOf(vesk_stringlist(nullptr, ',')), Items{});
}

TEST(VeskStringList, ToStringJoinsNeighbours) {
    const struct {
        Items items;
        const char* joined;
    } cases[] = {
        {{}, ""},
        {{""}, ""},
        {{"", ""}, "\n"},
        {{"monitoring="}, "monitoring="},
        {{"a", "b", "c"}, "a\nb\nc"},
        {{"a", ""}, "a\n"},
    };
    for (const auto& c : cases) {
        vesk_stringlist list;
        for (const auto& item : c.items) list << vesk_string(item.c_str());
        EXPECT_STREQ(list.toString('\n').c_str(), c.joined);
    }
}

TEST(VeskStringList, AppendWalkAndCopy) {
    vesk_stringlist list;
    EXPECT_FALSE(list.begin() != list.end());
    list << vesk_string("one") << vesk_string("two");
    vesk_stringlist copy(list);
    list << vesk_string("three");
    EXPECT_EQ(itemsOf(list), (Items{"one", "two", "three"}));
    EXPECT_EQ(itemsOf(copy), (Items{"one", "two"}));

    Items walked;
    for (const vesk_string& item : list) walked.push_back(item.c_str());
    EXPECT_EQ(walked, (Items{"one", "two", "three"}));

    copy = list;
    EXPECT_EQ(itemsOf(copy), (Items{"one", "two", "three"}));
}

}  // namespace
