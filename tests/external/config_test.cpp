// vesk_config: one INI file named by VESK_CONFIG, parsed again whenever it changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "portable.h"
#include "vesk_config.h"

namespace {

class VeskConfig : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("VESK_CONFIG");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        path_ = testing::TempDir() + "vesk_config_test_" +
                testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        if (hadOld_) {
            setTestEnvironment("VESK_CONFIG", old_.c_str());
        } else {
            setTestEnvironment("VESK_CONFIG", nullptr);
        }
    }
    void write(const std::string& content) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
        setTestEnvironment("VESK_CONFIG", path_.c_str());
    }
    static std::string read(const char* entry, const char* attribute) {
        return vesk_config(vesk_string(entry)).attr(vesk_string(attribute)).c_str();
    }

    std::string path_;

private:
    bool hadOld_ = false;
    std::string old_;
};

TEST_F(VeskConfig, ReadsAttributesOfNamedEntry) {
    write(
        "; a comment\n"
        "# another comment\n"
        "top = outside any entry\n"
        "[instances.cam1]\n"
        "drvtype = G\n"
        "   spaced   =   some value with spaces   \n"
        "empty =\n"
        "; drvtype = commented\n"
        "# ignored = yes\n"
        "a line without equals sign\n"
        "= nameless\n"
        "formula = a=b\n"
        "twice = first\n"
        "twice = second\n"
        "\n"
        "[instances.gpi2]\n"
        "drvtype=i\n"
        "[broken header\n"
        "leak = yes\n"
        "[ instances.padded ]\n"
        "drvtype=x\n"
        "[instances.windows]\r\n"
        "drvtype = g\r\n"
        "[instances.gpi2]\n"
        "reopened = yes\n");
    const struct {
        const char* entry;
        const char* attribute;
        const char* expected;
    } cases[] = {
        {"instances.cam1", "drvtype", "G"},
        {"instances.cam1", "spaced", "some value with spaces"},
        {"instances.cam1", "empty", ""},
        {"instances.cam1", "formula", "a=b"},
        {"instances.cam1", "twice", "second"},
        {"instances.cam1", "a line without equals sign", ""},
        {"instances.cam1", "", ""},
        {"instances.cam1", "DRVTYPE", ""},
        {"instances.cam1", "top", ""},
        {"instances.gpi2", "drvtype", "i"},
        {"instances.gpi2", "leak", ""},
        {"instances.gpi2", "reopened", "yes"},
        {"instances.padded", "drvtype", "x"},
        {"instances.windows", "drvtype", "g"},
        {"Instances.cam1", "drvtype", ""},
        {"instances.cam", "drvtype", ""},
        {"instances.missing", "drvtype", ""},
        {"", "top", ""},
        {"broken header", "leak", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.entry, c.attribute), c.expected)
            << "[" << c.entry << "] " << c.attribute;
    }
}

TEST_F(VeskConfig, MissingVariableOrFileGivesEmpty) {
    write("[instances.cam1]\ndrvtype = g\n");
    ASSERT_EQ(read("instances.cam1", "drvtype"), "g");

    setTestEnvironment("VESK_CONFIG", nullptr);
    EXPECT_EQ(read("instances.cam1", "drvtype"), "");

    setTestEnvironment("VESK_CONFIG", "");
    EXPECT_EQ(read("instances.cam1", "drvtype"), "");

    setTestEnvironment("VESK_CONFIG", (path_ + ".does-not-exist").c_str());
    EXPECT_EQ(read("instances.cam1", "drvtype"), "");

    setTestEnvironment("VESK_CONFIG", testing::TempDir().c_str());  // a folder, not a file
    EXPECT_EQ(read("instances.cam1", "drvtype"), "");
}

TEST_F(VeskConfig, FileIsReadAgainAtEachConstruction) {
    write("[instances.cam1]\ndrvtype = g\n");
    const auto written = std::filesystem::last_write_time(path_);
    const vesk_config before(vesk_string("instances.cam1"));
    write("[instances.cam1]\ndrvtype = i\n");
    std::filesystem::last_write_time(path_, written);  // as if within one clock tick
    const vesk_config after(vesk_string("instances.cam1"));
    EXPECT_STREQ(before.attr("drvtype").c_str(), "g");  // an open entry keeps what it read
    EXPECT_STREQ(after.attr("drvtype").c_str(), "i");
}

// A file older than the timestamp granularity is kept parsed, so these
// changes must be seen through the file's identity, size and times alone.
TEST_F(VeskConfig, KeptFileIsReadAgainWhenChanged) {
    namespace fs = std::filesystem;
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    write("[instances.cam1]\ndrvtype = g\n[instances.vtr]\ndrvtype = i\n");
    fs::last_write_time(path_, old);
    ASSERT_EQ(read("instances.cam1", "drvtype"), "g");
    ASSERT_EQ(read("instances.vtr", "drvtype"), "i");

    write("[instances.cam1]\ndrvtype = gpi\n");  // edited now
    EXPECT_EQ(read("instances.cam1", "drvtype"), "gpi");

    write("[instances.cam1]\ndrvtype = g\n");
    fs::last_write_time(path_, old);
    ASSERT_EQ(read("instances.cam1", "drvtype"), "g");
    const std::string other = path_ + ".new";  // same size and time, another file
    std::ofstream(other, std::ios::binary) << "[instances.cam1]\ndrvtype = i\n";
    fs::last_write_time(other, old);
    std::error_code renamed;
    fs::rename(other, path_, renamed);  // replaces the file, on Windows too
    ASSERT_FALSE(renamed) << renamed.message();
    EXPECT_EQ(read("instances.cam1", "drvtype"), "i");

    std::ofstream(path_, std::ios::binary | std::ios::trunc) << "[instances.cam1]\ndrvtype = x\n";
    fs::last_write_time(path_, old + std::chrono::seconds(1));  // same file and size
    EXPECT_EQ(read("instances.cam1", "drvtype"), "x");

    std::remove(path_.c_str());
    EXPECT_EQ(read("instances.cam1", "drvtype"), "");
}

TEST_F(VeskConfig, GarbageLinesAreSkipped) {
    write("[instances.cam1]\ndrvtype = g\n\x01\xff\x7f garbage\n[\n]\nother = 2");
    EXPECT_EQ(read("instances.cam1", "drvtype"), "g");
    EXPECT_EQ(read("instances.cam1", "other"), "");  // after a malformed header
}

TEST_F(VeskConfig, ByteOrderMarkDoesNotHideFirstEntry) {
    write("\xEF\xBB\xBF[instances.cam1]\r\ndrvtype = g\r\n");
    EXPECT_EQ(read("instances.cam1", "drvtype"), "g");
}

}  // namespace
