// Lines the recorder writes read back as exactly what was recorded; the
// recording is kept within its limits and read back a piece at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "front/recording/recorder.h"
#include "front/recording/step_text.h"
#include "front/scenario.h"

#ifdef VESK_HOST_WITH_WEB
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "front/web/http_session.h"
#endif

namespace vhost {
namespace {

// The whole recording, read in pieces of `piece` bytes.
std::string readAll(const Recorder& recorder, std::size_t piece) {
    std::string text;
    for (std::string part; !(part = recorder.read(text.size(), piece)).empty();) text += part;
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A value reads back unchanged in every kind of line that carries one, and
// anything but plain printable ASCII is quoted, so that no reader (nor an
// editor) takes a blank, a quote, a backslash or a '#' for anything else.
TEST(RecordedSteps, ValuesReadBackUnchanged) {
    const struct {
        std::string text;
        bool quoted;
    } rows[] = {
        {"CAM2", false},
        {"tally_val=1", false},
        {"!", false},  // the first byte after the blank
        {"a~", false},  // the last byte before DEL
        {"", true},
        {" lead", true},
        {"trail ", true},
        {"a b", true},
        {"\"quoted\"", true},
        {"mid\"quote", true},
        {"a\nb", true},
        {"\tx", true},
        {"back\\slash", true},
        {"\\", true},
        {"#7 = \"x\"", true},
        {"x#1", true},
        {"caf\xc3\xa9", true},
        {"\xff", true},
        {"esc\x1b[2J", true},
        {"a\x7f", true},
        {"a\x1f", true},
    };
    for (const auto& row : rows) {
        const std::string value = scenarioValue(row.text);
        EXPECT_EQ(!value.empty() && value.front() == '"', row.quoted) << value;
        const std::string lines[] = {"info 20 4 " + value, "@cam1 param " + value,
                                     "@cam1 event AlarmTest " + value,
                                     "expect slot 12 20 = " + value,
                                     "expect @cam1 control Tally = " + value};
        for (const std::string& line : lines) {
            const ParsedLine parsed = parseScenarioLine(line);
            ASSERT_TRUE(parsed.step) << line << ": " << parsed.error;
            EXPECT_EQ(parsed.step->text, row.text) << line;
        }
    }
}

// "advance N" comes before each action with the facility time since the one
// before: 0 for two at once, and a gap too long for one line in several.
TEST(RecordedSteps, AdvanceStatesEveryGapExactly) {
    const std::int64_t most = Recorder::longestAdvance;
    const struct {
        std::int64_t gap;
        std::vector<std::string> lines;
    } rows[] = {
        {0, {"advance 0"}},
        {1, {"advance 1"}},
        {most - 1, {"advance " + std::to_string(most - 1)}},
        {most, {"advance " + std::to_string(most)}},
        {most + 1, {"advance " + std::to_string(most), "advance 1"}},
        {2 * most + 5,
         {"advance " + std::to_string(most), "advance " + std::to_string(most), "advance 5"}},
    };
    Timeline timeline;
    Facility facility(Environment(), timeline, false);
    Recorder recorder(facility, timeline);
    std::string error;
    ASSERT_TRUE(recorder.start(RecordingStart(), error));
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        facility.advance(row.gap);
        Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 1, 1));
        expected.insert(expected.end(), row.lines.begin(), row.lines.end());
        expected.push_back("gpi 3 1 1");
    }
    std::vector<std::string> steps;
    std::int64_t total = 0;
    for (const std::string& line : linesOf(readAll(recorder, 4096))) {
        if (line.empty() || line[0] == '#') continue;
        steps.push_back(line);
        const ParsedLine parsed = parseScenarioLine(line);
        ASSERT_TRUE(parsed.step) << line << ": " << parsed.error;
        if (parsed.step->kind == Step::Kind::Advance) total += parsed.step->a;
    }
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(total, facility.now()) << "a replay reaches each action at its time";
}

TEST(RecordedSteps, SentPatterns) {
    const struct {
        const char* command;
        const char* pattern;  // null: no line can match it
    } rows[] = {
        {"IW 12 '1' 20 0", "IW 12 '1' 20 0"},
        {"PS '1' '/srv/panels/varnik.vesk_ui'", "PS '1' '*"},
        {"PS '1' 'C:\\panels\\varnik.vesk_ui'", "PS '1' '*"},
        {"TP 'text=a\nb' '1' 'Legend'", "TP 'text=a*"},
        {"TP 'text=a ' ", "TP 'text=a '*"},
        {" GU 3", nullptr},
    };
    for (const auto& row : rows) {
        const auto pattern = sentPattern(row.command);
        EXPECT_EQ(pattern.has_value(), row.pattern != nullptr) << row.command;
        if (pattern && row.pattern) {
            EXPECT_EQ(*pattern, row.pattern);
        }
    }
}

// Without a file a long run keeps a bounded recording that says where it stopped.
TEST(RecordedSteps, MemoryStaysBounded) {
    Timeline timeline;
    Facility facility(Environment(), timeline, false);
    Recorder recorder(facility, timeline);
    std::string error;
    ASSERT_TRUE(recorder.start(RecordingStart(), error));
    for (std::int32_t i = 0; i < 400000; ++i) {
        Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 7, i % 2));
        facility.advance(1);
    }
    const std::string text = readAll(recorder, Recorder::memoryPiece);
    EXPECT_EQ(text.size(), recorder.size());
    EXPECT_LE(text.size(), Recorder::memoryLimit);
    // It stops at the limit, not well before it.
    EXPECT_GT(text.size(), Recorder::memoryLimit - 200);
    const std::size_t notice = text.rfind("# the recording reached");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_EQ(text.find('\n', notice), text.size() - 1) << "the notice is the last line";

    // Any piece reads the same bytes, across the boundaries of the pieces
    // it is kept in, and nothing past the end.
    for (const std::size_t piece : {std::size_t{1} << 20, Recorder::memoryPiece - 1,
                                    Recorder::memoryPiece + 1, std::size_t{4093}}) {
        EXPECT_EQ(readAll(recorder, piece), text) << piece;
    }
    for (std::size_t at = Recorder::memoryPiece; at < text.size(); at += Recorder::memoryPiece) {
        EXPECT_EQ(recorder.read(at - 2, 4), text.substr(at - 2, 4)) << at;
    }
    EXPECT_EQ(recorder.read(text.size() - 1, 10), "\n");
    EXPECT_EQ(recorder.read(text.size(), 10), "");
    EXPECT_EQ(recorder.read(0, 0), "");
    // Every step after the head is whole: a misplaced piece would garble one.
    const std::vector<std::string> lines = linesOf(text);
    const auto live = std::find(lines.begin(), lines.end(), "# Live from 0.000 s on.");
    ASSERT_NE(live, lines.end());
    std::size_t n = 0;
    for (auto line = live + 1; line + 1 != lines.end(); ++line, ++n) {
        const std::size_t action = n / 2;
        const std::string want = n % 2 == 0 ? (action == 0 ? "advance 0" : "advance 1")
                                            : "gpi 3 7 " + std::to_string(action % 2);
        ASSERT_EQ(*line, want) << "line " << n << " after the head";
    }
    EXPECT_GT(n, 100000u);
}

#ifndef _WIN32
TEST(RecordedSteps, EnvironmentNamedFromTheRecording) {
    EXPECT_EQ(pathFrom("/rehearsals/studio", "/rehearsals/env/studio.ini"), "../env/studio.ini");
    EXPECT_EQ(pathFrom("/rehearsals", "/rehearsals/studio.ini"), "studio.ini");
    EXPECT_EQ(pathFrom("/home/a", "/srv/studio.ini"), "/srv/studio.ini");
}
#endif

}  // namespace
}  // namespace vhost
