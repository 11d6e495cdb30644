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
//   expect warning <text>             a warning containing text was given since the
//                                     previous expectation; with "@name", about that
//                                     component. An expected warning fails no --strict run.
//   use <component>                   the component later steps talk to
//   config <file>                     the environment INI (relative to the scenario);
//                                     once, before the first step that needs the facility
//
// Steps that talk to a component (param, event, destroy, create, expect
// control/sent/not-sent/message/reply/timer, show panel) take an optional
// "@name" first, or after "expect": "@cam2 param tally_val=1",
// "expect @cam2 control Tally = 1". Without one they talk to the component
// chosen by "use", at first the facility's first component.
#ifndef VESK_HOST_FRONT_SCENARIO_H
#define VESK_HOST_FRONT_SCENARIO_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>

#include <map>
#include <memory>

#include "facility/facility.h"
#include "facility/timeline.h"

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
        ExpectTimer,
        ExpectWarning,
        Use,
        Config
    };
    Kind kind = Kind::Param;
    std::string name;      // control id, show target
    std::string property;  // expect control
    std::string text;      // key, command, text, message, expected value, file
    std::string component; // "@name" given with the step, or empty
    std::int32_t a = 0, b = 0, c = 0;
    bool flag = false;  // expect reply none, expect timer running
};

struct ParsedLine {
    bool blank = false;        // nothing to do: empty or comment
    std::optional<Step> step;  // set when the line is a step
    std::string error;         // set when it is neither
};

ParsedLine parseScenarioLine(const std::string& line);

// Where a scenario gets its facility: made at the first step that needs
// it, so that a "config" step before that can still choose the environment.
class FacilitySource {
public:
    virtual ~FacilitySource() = default;
    // The facility; null when it cannot be made (the reason is reported).
    virtual Facility* facility() = 0;
    // A "config" step; false, with `error`, when it cannot be taken.
    virtual bool configure(const std::string& path, std::string& error) = 0;
};

// Steps that another part of the host adds to the language (the TSL
// bridges: "tsl ..." and "expect tsl ...").
class StepExtension {
public:
    virtual ~StepExtension() = default;
    // Whether the trimmed line is one of its steps.
    virtual bool claims(const std::string& line) const = 0;
    // Runs it; a problem is an error event with `lineNo`, and each
    // expectation is reported through `check`.
    virtual void run(const std::string& line, int lineNo, Facility& facility,
                     const std::function<void(bool held, const std::string& what)>& check) = 0;
};

class ScenarioRunner {
public:
    ScenarioRunner(FacilitySource& source, Timeline& timeline)
        : source_(&source), timeline_(timeline) {}
    // Runs against a facility that already stands (no "config" steps).
    ScenarioRunner(Facility& facility, Timeline& timeline);

    // Folder that "config" paths are relative to.
    void setFolder(const std::string& folder) { folder_ = folder; }
    void setExtension(StepExtension* extension) { extension_ = extension; }

    // Runs one line; problems are reported in the timeline with the line number.
    void runLine(const std::string& line, int lineNo);
    // Runs every line of `in`; with `prompt`, asks for each line on stderr.
    void run(std::istream& in, bool prompt);

    int expectations() const { return expectations_; }
    int failedExpectations() const { return failed_; }
    // The facility could not be made: the run cannot go on.
    bool stopped() const { return stopped_; }

private:
    struct Cursors {
        std::size_t sent = 0;
        std::size_t message = 0;
        std::optional<std::string> lastReply;
    };
    void execute(const Step& step, int lineNo);
    void check(bool held, const std::string& what, int lineNo);
    // The component a step talks to; null (reported) when there is none.
    Connection* target(const Step& step, int lineNo);
    void expectSent(Connection& component, Cursors& cursors, const Step& step, int lineNo);
    void expectMessage(Connection& component, Cursors& cursors, const Step& step, int lineNo);

    std::unique_ptr<FacilitySource> owned_;
    StepExtension* extension_ = nullptr;
    FacilitySource* source_;
    Timeline& timeline_;
    std::string folder_;
    std::string current_;
    std::string checked_;  // the component the step being run checks
    int configLine_ = 0;   // the line of the config step, once there was one
    std::map<std::string, Cursors> cursors_;
    int expectations_ = 0;
    int failed_ = 0;
    bool stopped_ = false;
};

}  // namespace vhost

#endif  // VESK_HOST_FRONT_SCENARIO_H
