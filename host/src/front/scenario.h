// scenario.h - the line-oriented language that drives vesk-host.
//
// One step a line; blank lines and lines whose first non-blank character is
// '#' are skipped. A value written as "..." keeps spaces and may be empty,
// with \n, \t, \" and \\ as escapes; otherwise it is the rest of the line,
// trimmed.
//
//   param <name>=<value>              parent request, e.g. param instance=cam1
//   event <control> <name>[=<value>]  control event from a panel control
//   gpi <device> <input> <state>      force a GPI input
//   info <device> <slot> <text>       force an info slot text
//   advance <ms>                      run the clock (also: wait <ms>)
//   show [panel|slots|all]            print the panel and/or the slots
//   destroy / create                  end the component / create a new one
//   expect sent <command>             sent after the last command matched by an expect;
//                                     a final '*' matches any rest of the text
//   expect not-sent <command>         not sent after that point
//   expect control <id> [<property>] = <value>   property defaults to text
//   expect slot <device> <slot> = <text>
//   expect gpi <device> <input> = <state>
//   expect message <text>             a diagnostic containing text, after the last one matched
//   expect reply = <text> | expect reply none    reply to the last param
//   expect timer <id> running|stopped
#ifndef VESK_HOST_SCENARIO_H
#define VESK_HOST_SCENARIO_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>

#include "simulated_host.h"
#include "timeline.h"

namespace vhost {

struct Step {
    enum class Kind {
        Param,
        Event,
        Gpi,
        Info,
        Advance,
        Show,
        Destroy,
        Create,
        ExpectSent,
        ExpectNotSent,
        ExpectControl,
        ExpectSlot,
        ExpectGpi,
        ExpectMessage,
        ExpectReply,
        ExpectTimer
    };
    Kind kind = Kind::Param;
    std::string name;      // control id, show target
    std::string property;  // expect control
    std::string text;      // key, command, text, message, expected value
    std::int32_t a = 0, b = 0, c = 0;
    bool flag = false;  // expect reply none, expect timer running
};

struct ParsedLine {
    bool blank = false;        // nothing to do: empty or comment
    std::optional<Step> step;  // set when the line is a step
    std::string error;         // set when it is neither
};

ParsedLine parseScenarioLine(const std::string& line);

class ScenarioRunner {
public:
    ScenarioRunner(SimulatedHost& host, Timeline& timeline) : host_(host), timeline_(timeline) {}

    // Runs one line; problems are reported in the timeline with the line number.
    void runLine(const std::string& line, int lineNo);
    // Runs every line of `in`; with `prompt`, asks for each line on stderr.
    void run(std::istream& in, bool prompt);

    int expectations() const { return expectations_; }
    int failedExpectations() const { return failed_; }

private:
    void execute(const Step& step, int lineNo);
    void check(bool held, const std::string& what, int lineNo);

    SimulatedHost& host_;
    Timeline& timeline_;
    std::size_t sentCursor_ = 0;
    std::size_t messageCursor_ = 0;
    std::optional<std::string> lastReply_;
    int expectations_ = 0;
    int failed_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_SCENARIO_H
