// Lines the recorder writes read back as exactly what was recorded.
#include <gtest/gtest.h>

#include "front/recording/recorder.h"
#include "front/recording/step_text.h"
#include "front/scenario.h"

namespace vhost {
namespace {

TEST(RecordedSteps, ValuesReadBackUnchanged) {
    for (const std::string text : {"CAM2", "", " lead", "trail ", "\"quoted\"", "a\nb", "\tx",
                                   "back\\slash", "#7 = \"x\"", "esc\x1b[2J"}) {
        const ParsedLine parsed = parseScenarioLine("info 20 4 " + scenarioValue(text));
        ASSERT_TRUE(parsed.step) << parsed.error;
        EXPECT_EQ(parsed.step->text, text);
    }
    EXPECT_EQ(scenarioValue("tally_val=1"), "tally_val=1");
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
    const std::string text = recorder.text();
    EXPECT_LE(text.size(), Recorder::memoryLimit);
    const std::size_t notice = text.rfind("# the recording reached");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_EQ(text.find('\n', notice), text.size() - 1) << "the notice is the last line";
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
