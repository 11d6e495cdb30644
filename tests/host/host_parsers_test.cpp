// The texts vesk-host reads: plug-in commands, event keys, INI, layouts,
// scenario lines.
#include "text/host_parsers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "front/json_text.h"
#include "front/scenario.h"
#include "front/timeline_printer.h"

using namespace vhost;

namespace {

struct CommandCase {
    const char* text;
    const char* word;
    std::vector<std::string> args;  // quoted ones written as 'x'
};

std::vector<std::string> shown(const HostCommand& command) {
    std::vector<std::string> out;
    for (const auto& arg : command.args)
        out.push_back(arg.quoted ? "'" + arg.text + "'" : arg.text);
    return out;
}

}  // namespace

TEST(HostCommandParse, SplitsWordsNumbersAndQuotedTexts) {
    const CommandCase cases[] = {
        {"AS", "AS", {}},
        {"IR 3 7 7", "IR", {"3", "7", "7"}},
        {"GR 3 7 7 'ADD'", "GR", {"3", "7", "7", "'ADD'"}},
        {"TP 'text=Camera 1' '1' 'Legend'", "TP", {"'text=Camera 1'", "'1'", "'Legend'"}},
        {"TP 'text=' '1' 'Tally'", "TP", {"'text='", "'1'", "'Tally'"}},
        // Apostrophes inside a text arrive unescaped.
        {"IW 12 'it's on' 20 0", "IW", {"12", "'it's on'", "20", "0"}},
        {"IW 12 'x'' 20 0", "IW", {"12", "'x''", "20", "0"}},
        {"IW -1 '' -5 0", "IW", {"-1", "''", "-5", "0"}},
        {"PS '1' '/p/varnik.vesk_ui' 'extra'", "PS", {"'1'", "'/p/varnik.vesk_ui'", "'extra'"}},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto parsed = parseCommand(c.text, error);
        ASSERT_TRUE(parsed) << c.text << ": " << error;
        EXPECT_EQ(parsed->word, c.word) << c.text;
        EXPECT_EQ(shown(*parsed), c.args) << c.text;
        // Read in place, the same words.
        CommandView view;
        const char* problem = nullptr;
        ASSERT_TRUE(readCommand(c.text, view, problem)) << c.text;
        ASSERT_EQ(view.count, parsed->args.size()) << c.text;
        for (std::size_t i = 0; i < view.count; ++i) {
            EXPECT_EQ(view.args[i].text(), parsed->args[i].text) << c.text;
            EXPECT_EQ(view.args[i].quoted, parsed->args[i].quoted) << c.text;
        }
    }
}

TEST(HostCommandParse, RejectsMalformedTexts) {
    for (const char* text : {"", "TP 'open", "IR 1  2", "IR 1 ", "SD 'a'b"}) {
        std::string error;
        EXPECT_FALSE(parseCommand(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        CommandView view;
        const char* problem = nullptr;
        EXPECT_FALSE(readCommand(text, view, problem)) << text;
    }
}

// The in-place reader keeps eight arguments in a fixed array: more are
// counted but never written past it (the count lies right behind the
// array, so a ninth write there would show as a wrong count; many more
// would run over the stack, which the asan build reports).
TEST(HostCommandParse, ArgumentsPastTheEighthAreCountedNotKept) {
    for (const std::size_t args : {std::size_t{8}, std::size_t{9}, std::size_t{10}, std::size_t{4096}}) {
        for (const bool quoted : {false, true}) {
            std::string text = "IR";
            for (std::size_t i = 1; i <= args; ++i) {
                const std::string arg = std::to_string(i);
                text += quoted ? " '" + arg + "'" : " " + arg;
            }
            const std::string what = std::to_string(args) + (quoted ? " quoted" : " plain");
            CommandView view;
            // Whatever lies behind the view on the stack stays as it was.
            const std::string guard = "guard";
            const char* problem = nullptr;
            ASSERT_TRUE(readCommand(text, view, problem)) << what;
            EXPECT_EQ(view.word, "IR") << what;
            EXPECT_EQ(view.count, args) << what;
            for (std::size_t i = 0; i < CommandView::maxArgs; ++i) {
                EXPECT_EQ(view.args[i].text(), std::to_string(i + 1)) << what;
                EXPECT_EQ(view.args[i].quoted, quoted) << what;
            }
            EXPECT_EQ(guard, "guard");
            // The general reader keeps them all.
            std::string error;
            const auto parsed = parseCommand(text, error);
            ASSERT_TRUE(parsed) << what << ": " << error;
            ASSERT_EQ(parsed->args.size(), args) << what;
            EXPECT_EQ(parsed->args.back().text, std::to_string(args)) << what;
        }
    }
    static_assert(CommandView::maxArgs == 8, "no command takes more than eight arguments");
}

TEST(DecodedKeyLayout, CutsLikeTheScriptSide) {
    struct Case {
        const char* key;
        const char* name;
        std::vector<std::string> parts;
        bool hasValue;
        const char* value;
    };
    const Case cases[] = {
        {"", "", {}, false, ""},
        {"abc", "abc", {}, false, ""},
        {"a.b.d=x", "a", {"b", "d"}, true, "x"},
        {"a=b=c.d", "a", {}, true, "b=c.d"},
        {".x", "", {"x"}, false, ""},
        {"a..b", "a", {"", "b"}, false, ""},
        {"=", "", {}, true, ""},
        {"press=1", "press", {}, true, "1"},
    };
    for (const auto& c : cases) {
        const DecodedKey key(c.key);
        const decodedKeyRecord* r = key.record();
        EXPECT_STREQ(r->name, c.name) << c.key;
        ASSERT_EQ(r->partCount, static_cast<int>(c.parts.size())) << c.key;
        for (std::size_t i = 0; i < c.parts.size(); ++i)
            EXPECT_EQ(r->parts[i], c.parts[i]) << c.key;
        for (int i = r->partCount; i < VESK_KEY_MAX_PARTS; ++i)
            EXPECT_STREQ(r->parts[i], "") << c.key;
        EXPECT_EQ(r->hasValue, c.hasValue) << c.key;
        EXPECT_STREQ(r->value, c.value) << c.key;
        EXPECT_EQ(r->buffer == nullptr, std::string(c.key).empty()) << c.key;
    }
}

TEST(DecodedKeyLayout, StopsAfterThirtyTwoParts) {
    std::string under = "n", over = "n";
    for (int i = 0; i < 31; ++i) under += ".p";
    for (int i = 0; i < 32; ++i) over += ".p";
    under += "=v";
    over += "=v";
    const DecodedKey a(under);
    EXPECT_EQ(a.record()->partCount, 31);
    EXPECT_STREQ(a.record()->value, "v");
    const DecodedKey b(over);
    EXPECT_EQ(b.record()->partCount, 32);
    EXPECT_STREQ(b.record()->parts[31], "p=v");
    EXPECT_FALSE(b.record()->hasValue);
    EXPECT_STREQ(b.record()->value, "");
}

TEST(EnvironmentIni, ReadsInstancesSlotsAndInputs) {
    std::istringstream in(
        "; comment\n"
        "[instances.cam1]\n"
        "device = 3\n"
        "offset = -7\n"
        "drvtype = G\n"
        "colour = red\n"
        "[instances.empty]\n"
        "[other.section]\n"
        "anything goes here\n"
        "[info.12]\n"
        "5 =   On Air  \n"
        "6 = \"  spaced \"\n"
        "7 = \"\"\n"
        "[gpi.3]\n"
        "# comment\n"
        "7 = 1\n");
    std::vector<std::string> errors;
    const Environment env = parseEnvironment(in, "s.ini", errors);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(env.instances.count("cam1"), 1u);
    EXPECT_EQ(env.instances.at("cam1").device, 3);
    EXPECT_EQ(env.instances.at("cam1").offset, -7);
    EXPECT_EQ(env.instances.at("cam1").drvtype, "G");
    EXPECT_EQ(env.instances.at("empty").device, 0);
    EXPECT_EQ(env.info.at(12).at(5), "On Air");
    EXPECT_EQ(env.info.at(12).at(6), "  spaced ");
    EXPECT_EQ(env.info.at(12).at(7), "");
    EXPECT_EQ(env.gpi.at(3).at(7), 1);
}

TEST(EnvironmentIni, ReportsBadLinesWithTheirNumbers) {
    std::istringstream in(
        "[instances.a]\n"
        "device = three\n"
        "[info.x]\n"
        "[gpi.2]\n"
        "1 = on\n"
        "no equals sign\n"
        "[info.4]\n"
        "5 = \"open\n"
        "[instances.b\n"
        "device = 99999999999\n"
        "[component.Camera 1]\n"  // no step could address it
        "[component.c]\n[component.c]\n[component.c]\n");
    std::vector<std::string> errors;
    parseEnvironment(in, "s.ini", errors);
    ASSERT_EQ(errors.size(), 9u);
    EXPECT_EQ(errors[0].rfind("s.ini:2: ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1].rfind("s.ini:3: ", 0), 0u) << errors[1];
    EXPECT_EQ(errors[2].rfind("s.ini:5: ", 0), 0u) << errors[2];
    EXPECT_EQ(errors[3].rfind("s.ini:6: ", 0), 0u) << errors[3];
    EXPECT_EQ(errors[4].rfind("s.ini:8: ", 0), 0u) << errors[4];
    EXPECT_EQ(errors[5].rfind("s.ini:9: ", 0), 0u) << errors[5];
    EXPECT_EQ(errors[6].rfind("s.ini:11: component name \"Camera 1\"", 0), 0u) << errors[6];
    EXPECT_EQ(errors[7], "s.ini:13: component c is declared twice");
    EXPECT_EQ(errors[8], "s.ini:14: component c is declared twice");
}

TEST(EnvironmentIni, RefusesFilesThatAreNoIni) {
    const std::pair<const char*, std::string> cases[] = {  // text, error ("" for none)
        {"# a scenario\nconfig studio.ini\nparam instance=cam1\n", "s.ini:2: neither a [section]"},
        {"param instance=cam1\n", "s.ini: no [section] header"},
        {"", ""}, {"; only a note\n", ""}, {"top = 1\n[gpi.1]\n", ""}};
    for (const auto& c : cases) {
        std::istringstream in(c.first);
        std::vector<std::string> errors;
        parseEnvironment(in, "s.ini", errors);
        EXPECT_LE(errors.size(), 1u) << c.first;
        EXPECT_EQ(errors.empty() ? "" : errors[0].substr(0, c.second.size()), c.second);
    }
}

// Every INI example of the host's guide loads, and no note written after a
// value slips into it (comments are whole lines).
TEST(EnvironmentIni, TheGuidesExamplesLoad) {
    std::ifstream guide(VESK_HOST_TEST_DOCS "/host.md");
    std::string line, block;
    int examples = 0;
    for (bool inside = false; std::getline(guide, line);) {
        if (!inside || line != "```") {
            if (inside) block += line + "\n";
            if (line == "```ini") inside = true, block.clear();
            continue;
        }
        inside = false;
        ++examples;
        std::istringstream in(block);
        std::vector<std::string> errors;
        const Environment env = parseEnvironment(in, "host.md", errors);
        EXPECT_EQ(errors, std::vector<std::string>()) << block;
        std::string values;
        for (const auto& component : env.components) {
            values += component.plugin + component.panels;
            for (const auto& param : component.params) values += param;
        }
        EXPECT_EQ(values.find(';'), std::string::npos) << block;
    }
    EXPECT_GE(examples, 2);
}

TEST(PanelLayout, ReadsControlsAndMatchesIdsWithoutCase) {
    std::istringstream in(
        "# comment\n"
        "control DeviceType text=- label=\"Device type\"\n"
        "control Tally text=0\n"
        "control devicetype text=x\n"
        "panel 1\n"
        "control\n"
        "control Bad novalue\n"
        "control Quote text=\"open\n");
    std::vector<std::string> warnings;
    Layout layout = parseLayout(in, "p.vesk_ui", warnings);
    ASSERT_EQ(layout.controls.size(), 2u);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0].rfind("p.vesk_ui:4: ", 0), 0u) << warnings[0];
    Control* control = layout.find("deviceType");
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->id, "DeviceType");
    EXPECT_EQ(*control->property("label"), "Device type");
    control->set("text", "GPI");
    EXPECT_EQ(*layout.find("DEVICETYPE")->property("text"), "GPI");
    EXPECT_EQ(layout.find("Tal"), nullptr);
}

TEST(TextHelpers, PrintedTextsCannotForgeLinesOrBreakUtf8) {
    struct Case {
        const char* text;
        const char* readable;  // as the readable timeline shows it
        const char* utf8;      // as a JSON text carries it
    };
    const Case cases[] = {
        {"a\nok line 9: x", "a\\nok line 9: x", "a\nok line 9: x"},
        {"\x1b[2J\r\t", "\\x1b[2J\\r\\t", "\x1b[2J\r\t"},
        {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},            // UTF-8 stays
        {"\xE9t\xE9", "\\xe9t\\xe9", "\xC3\xA9t\xC3\xA9"},       // Latin-1 bytes
        {"\xC2\x9B" "1m", "\\xc2\\x9b1m", "\xC2\x9B" "1m"},             // C1 control: escaped
        {"\xED\xA0\x80", "\\xed\\xa0\\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},  // surrogate
        {"a\\x00", "a\\\\x00", "a\\x00"},  // no NUL
        {"\xF0\x9F\x8E", "\\xf0\\x9f\\x8e", "\xC3\xB0\xC2\x9F\xC2\x8E"},  // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(printable(c.text), c.readable) << c.text;
        EXPECT_EQ(utf8Text(c.text), c.utf8) << c.text;
    }
    // A JSON line is valid UTF-8 whatever bytes the text holds.
    std::ostringstream out;
    TimelinePrinter printer(out, OutputMode::Json);
    const std::string text = "\xE9\n\x01\"", none;
    printer.event(Event{5, EventKind::Command, text, 0, none});
    EXPECT_EQ(nlohmann::json::parse(out.str())["text"], "\u00e9\n\u0001\"");
}

TEST(TextHelpers, CaseBlindComparisons) {
    EXPECT_TRUE(equalsIgnoreCase("Tally", "tALLY"));
    EXPECT_FALSE(equalsIgnoreCase("Tally", "Tallx"));
    EXPECT_FALSE(equalsIgnoreCase("Tall", "Tally"));
    EXPECT_TRUE(equalsIgnoreCase("", ""));
    EXPECT_TRUE(startsWithIgnoreCase("ALM_door", "alm_"));
    EXPECT_FALSE(startsWithIgnoreCase("al", "alm_"));
    EXPECT_FALSE(startsWithIgnoreCase("alx_door", "alm_"));
}

TEST(TextHelpers, Numbers) {
    EXPECT_EQ(parseInt32("-2147483648"), -2147483647 - 1);
    EXPECT_FALSE(parseInt32("2147483648"));
    EXPECT_FALSE(parseInt32("1x"));
    EXPECT_FALSE(parseInt32("-"));
    EXPECT_FALSE(parseInt32(""));
}

TEST(ScenarioLines, ParsesEveryStep) {
    struct Case {
        const char* line;
        Step::Kind kind;
        const char* name;
        const char* property;
        const char* text;
        int a, b, c;
    };
    const Case cases[] = {
        {"param instance=cam1", Step::Kind::Param, "", "", "instance=cam1", 0, 0, 0},
        {"  param monitoring=Camera 1  ", Step::Kind::Param, "", "", "monitoring=Camera 1", 0, 0,
         0},
        {"param \"tally_on= x \"", Step::Kind::Param, "", "", "tally_on= x ", 0, 0, 0},
        {"event AckAll press=1", Step::Kind::Event, "AckAll", "", "press=1", 0, 0, 0},
        {"gpi 3 7 -1", Step::Kind::Gpi, "", "", "", 3, 7, -1},
        {"info 20 4 ON AIR", Step::Kind::Info, "", "", "ON AIR", 20, 4, 0},
        {"info 20 4 \"\"", Step::Kind::Info, "", "", "", 20, 4, 0},
        {"advance 500", Step::Kind::Advance, "", "", "", 500, 0, 0},
        {"show slots", Step::Kind::Show, "slots", "", "", 0, 0, 0},
        {"expect sent IW 12 '2' 20 0", Step::Kind::ExpectSent, "", "", "IW 12 '2' 20 0", 0, 0, 0},
        {"expect control Tally = 2", Step::Kind::ExpectControl, "Tally", "text", "2", 0, 0, 0},
        {"expect control Legend label = \"\"", Step::Kind::ExpectControl, "Legend", "label", "", 0,
         0, 0},
        {"expect slot 12 20 = a = b", Step::Kind::ExpectSlot, "", "", "a = b", 12, 20, 0},
        {"expect gpi 3 7 = 1", Step::Kind::ExpectGpi, "", "", "", 3, 7, 1},
        {"expect reply = \"a\\nb\"", Step::Kind::ExpectReply, "", "", "a\nb", 0, 0, 0},
        {"expect timer 1 running", Step::Kind::ExpectTimer, "", "", "", 1, 0, 0},
    };
    for (const auto& c : cases) {
        const ParsedLine parsed = parseScenarioLine(c.line);
        ASSERT_TRUE(parsed.step) << c.line << ": " << parsed.error;
        const Step& step = *parsed.step;
        EXPECT_EQ(step.kind, c.kind) << c.line;
        EXPECT_EQ(step.name, c.name) << c.line;
        EXPECT_EQ(step.property, c.property) << c.line;
        EXPECT_EQ(step.text, c.text) << c.line;
        EXPECT_EQ(step.a, c.a) << c.line;
        EXPECT_EQ(step.b, c.b) << c.line;
        EXPECT_EQ(step.c, c.c) << c.line;
    }
    EXPECT_TRUE(parseScenarioLine("   # note").blank);
    EXPECT_TRUE(parseScenarioLine("").blank);
}

TEST(ScenarioLines, RejectsMalformedSteps) {
    for (const char* line : {"frobnicate",
                             "param",
                             "gpi 3 7",
                             "gpi 3 x 1",
                             "gpi 3 7 1 9",
                             "info 1 2",
                             "advance -5",
                             "advance 99999999999",
                             "show everything",
                             "destroy now",
                             "expect",
                             "expect sent",
                             "expect control Tally =",
                             "expect control Tally",
                             "expect control = 2",
                             "expect control Tally text extra = 2",
                             "expect slot 12 = x",
                             "expect gpi 3 7 = on",
                             "expect reply",
                             "expect timer 1 paused",
                             "expect nothing",
                             "param \"open",
                             "event Tally"}) {
        const ParsedLine parsed = parseScenarioLine(line);
        EXPECT_FALSE(parsed.step) << line;
        EXPECT_FALSE(parsed.blank) << line;
        EXPECT_FALSE(parsed.error.empty()) << line;
    }
    // A plug-in would read "a=b".
    EXPECT_FALSE(parseScenarioLine(std::string("param a=b\0c", 11)).step);
}
