#include "front/scenario.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "connection/connection.h"
#include "platform/platform.h"
#include "text/host_parsers.h"

namespace vhost {

namespace {

// Splits off the first word of `text` (at blanks); `rest` is what follows,
// without leading blanks.
std::string firstWord(const std::string& text, std::string& rest) {
    const std::string trimmed = trim(text);
    std::size_t end = 0;
    while (end < trimmed.size() && trimmed[end] != ' ' && trimmed[end] != '\t') ++end;
    rest = trim(trimmed.substr(end));
    return trimmed.substr(0, end);
}

bool numbers(const std::string& text, std::size_t count, std::int32_t* out, std::string& rest,
             std::string& error) {
    rest = text;
    for (std::size_t i = 0; i < count; ++i) {
        std::string after;
        const std::string word = firstWord(rest, after);
        const auto value = parseInt32(word);
        if (!value) {
            error = word.empty() ? "missing number" : "not a number: '" + word + "'";
            return false;
        }
        out[i] = *value;
        rest = after;
    }
    return true;
}

bool nothingLeft(const std::string& rest, std::string& error) {
    if (rest.empty()) return true;
    error = "unexpected text: '" + rest + "'";
    return false;
}

// "<head words> = <value>": the head before the first '=', and the value
// after it (a quoted value may be empty; a bare one may not).
bool splitExpected(const std::string& text, std::string& head, std::string& value,
                   std::string& error) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        error = "expected '= <value>'";
        return false;
    }
    head = trim(text.substr(0, equals));
    const std::string raw = trim(text.substr(equals + 1));
    if (raw.empty()) {
        error = "missing value after '=' (write \"\" for the empty text)";
        return false;
    }
    const auto parsed = parseValue(raw, error);
    if (!parsed) return false;
    value = *parsed;
    return true;
}

bool requiredValue(const std::string& raw, const char* what, std::string& out, std::string& error) {
    if (raw.empty()) {
        error = std::string("missing ") + what;
        return false;
    }
    const auto parsed = parseValue(raw, error);
    if (!parsed) return false;
    out = *parsed;
    return true;
}

// A leading "@name" names the component a step talks to.
void takeComponent(std::string& text, Step& step) {
    std::string rest;
    const std::string word = firstWord(text, rest);
    if (word.size() > 1 && word[0] == '@') {
        step.component = word.substr(1);
        text = rest;
    }
}

bool parseExpect(const std::string& text, Step& step, std::string& error) {
    std::string rest;
    std::string expectation = text;
    takeComponent(expectation, step);
    const std::string what = firstWord(expectation, rest);
    if (what == "sent" || what == "not-sent") {
        step.kind = what == "sent" ? Step::Kind::ExpectSent : Step::Kind::ExpectNotSent;
        step.text = rest;
        if (rest.empty()) error = "missing command text";
        return !rest.empty();
    }
    if (what == "warning") {
        step.kind = Step::Kind::ExpectWarning;
        return requiredValue(rest, "warning text", step.text, error);
    }
    if (what == "message") {
        step.kind = Step::Kind::ExpectMessage;
        return requiredValue(rest, "message text", step.text, error);
    }
    if (what == "control") {
        step.kind = Step::Kind::ExpectControl;
        std::string head;
        if (!splitExpected(rest, head, step.text, error)) return false;
        std::string tail;
        step.name = firstWord(head, tail);
        step.property = firstWord(tail, tail);
        if (step.property.empty()) step.property = "text";
        if (step.name.empty())
            error = "missing control id";
        else if (!tail.empty())
            error = "expect control <id> [<property>] = <value>";
        return error.empty();
    }
    if (what == "slot" || what == "gpi") {
        std::string head;
        std::string value;
        if (!splitExpected(rest, head, value, error)) return false;
        std::int32_t n[2] = {0, 0};
        std::string tail;
        if (!numbers(head, 2, n, tail, error) || !nothingLeft(tail, error)) return false;
        step.a = n[0];
        step.b = n[1];
        if (what == "slot") {
            step.kind = Step::Kind::ExpectSlot;
            step.text = value;
            return true;
        }
        step.kind = Step::Kind::ExpectGpi;
        const auto state = parseInt32(value);
        if (!state) {
            error = "GPI state is not a number: '" + value + "'";
            return false;
        }
        step.c = *state;
        return true;
    }
    if (what == "reply") {
        step.kind = Step::Kind::ExpectReply;
        if (rest == "none") {
            step.flag = true;
            return true;
        }
        std::string head;
        if (!splitExpected(rest, head, step.text, error)) return false;
        if (!head.empty()) error = "expect reply = <text> | expect reply none";
        return error.empty();
    }
    if (what == "timer") {
        step.kind = Step::Kind::ExpectTimer;
        std::string tail;
        if (!numbers(rest, 1, &step.a, tail, error)) return false;
        if (tail != "running" && tail != "stopped") {
            error = "expect timer <id> running|stopped";
            return false;
        }
        step.flag = tail == "running";
        return true;
    }
    error = what.empty() ? "expect what?" : "unknown expectation '" + what + "'";
    return false;
}

}  // namespace

ParsedLine parseScenarioLine(const std::string& line) {
    ParsedLine result;
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#') {
        result.blank = true;
        return result;
    }
    if (text.find('\0') != std::string::npos) {
        // A plug-in receives every text as a C string, cut at the NUL.
        result.error =
            "the line holds a NUL character, which no text passed to a plug-in can carry";
        return result;
    }
    Step step;
    std::string stepText = text;
    takeComponent(stepText, step);
    std::string rest;
    const std::string word = firstWord(stepText, rest);
    std::string& error = result.error;
    bool ok = false;
    if (word == "use") {
        step.kind = Step::Kind::Use;
        step.name = rest;
        ok = !rest.empty() && rest.find_first_of(" \t") == std::string::npos;
        if (!ok) error = "use <component>";
    } else if (word == "config") {
        step.kind = Step::Kind::Config;
        ok = requiredValue(rest, "file", step.text, error);
    } else if (word == "param") {
        step.kind = Step::Kind::Param;
        ok = requiredValue(rest, "name=value", step.text, error);
    } else if (word == "event") {
        step.kind = Step::Kind::Event;
        std::string key;
        step.name = firstWord(rest, key);
        ok = !step.name.empty() && requiredValue(key, "event key name=value", step.text, error);
        if (step.name.empty()) error = "event <control> <name>=<value>";
    } else if (word == "gpi") {
        step.kind = Step::Kind::Gpi;
        std::int32_t n[3] = {0, 0, 0};
        std::string tail;
        ok = numbers(rest, 3, n, tail, error) && nothingLeft(tail, error);
        step.a = n[0];
        step.b = n[1];
        step.c = n[2];
    } else if (word == "info") {
        step.kind = Step::Kind::Info;
        std::int32_t n[2] = {0, 0};
        std::string tail;
        ok = numbers(rest, 2, n, tail, error) &&
             requiredValue(tail, "text (write \"\" for the empty text)", step.text, error);
        step.a = n[0];
        step.b = n[1];
    } else if (word == "advance" || word == "wait") {
        step.kind = Step::Kind::Advance;
        std::string tail;
        ok = numbers(rest, 1, &step.a, tail, error) && nothingLeft(tail, error);
        if (ok && step.a < 0) {
            error = "the clock does not run backwards";
            ok = false;
        }
    } else if (word == "show") {
        step.kind = Step::Kind::Show;
        step.name = rest.empty() ? "all" : rest;
        ok = step.name == "all" || step.name == "panel" || step.name == "slots";
        if (!ok) error = "show [panel|slots|all]";
    } else if (word == "destroy" || word == "create") {
        step.kind = word == "destroy" ? Step::Kind::Destroy : Step::Kind::Create;
        ok = nothingLeft(rest, error);
    } else if (word == "expect") {
        ok = parseExpect(rest, step, error);
    } else {
        error = "unknown step '" + word + "'";
    }
    if (ok) {
        result.step = step;
        result.error.clear();
    }
    return result;
}

void ScenarioRunner::runLine(const std::string& line, int lineNo) {
    if (extension_ != nullptr && extension_->claims(trim(line))) {
        Facility* facility = source_->facility();
        if (facility == nullptr) {
            stopped_ = true;
            return;
        }
        extension_->run(trim(line), lineNo, *facility,
                        [&](bool held, const std::string& what) { check(held, what, lineNo); });
        return;
    }
    const ParsedLine parsed = parseScenarioLine(line);
    if (parsed.blank) return;
    if (!parsed.step) {
        timeline_.event(EventKind::Error, parsed.error + " in: " + trim(line), lineNo);
        return;
    }
    execute(*parsed.step, lineNo);
}

void ScenarioRunner::run(std::istream& in, bool prompt) {
    std::string line;
    int lineNo = 0;
    while (!stopped_) {
        if (prompt) {
            std::fputs("vesk-host> ", stderr);
            std::fflush(stderr);
        }
        const LineRead read = readLine(in, line);
        if (read == LineRead::End) break;
        ++lineNo;
        if (read == LineRead::TooLong) {
            timeline_.event(EventKind::Error,
                            "longer than " + std::to_string(maxLineLength) +
                                " characters; the rest of the scenario is not run",
                            lineNo);
            break;
        }
        if (lineNo == 1) dropByteOrderMark(line);
        runLine(line, lineNo);
    }
    if (prompt) std::fputs("\n", stderr);
}

namespace {

// A facility that already stands.
class StandingFacility : public FacilitySource {
public:
    explicit StandingFacility(Facility& facility) : facility_(facility) {}
    Facility* facility() override { return &facility_; }
    bool configure(const std::string&, std::string& error) override {
        error = "the facility is already set up";
        return false;
    }

private:
    Facility& facility_;
};

}  // namespace

ScenarioRunner::ScenarioRunner(Facility& facility, Timeline& timeline)
    : owned_(std::make_unique<StandingFacility>(facility)),
      source_(owned_.get()),
      timeline_(timeline) {}

Connection* ScenarioRunner::target(const Step& step, int lineNo) {
    Facility* facility = source_->facility();
    if (facility == nullptr) {
        stopped_ = true;
        return nullptr;
    }
    const std::string& name = step.component.empty() ? current_ : step.component;
    Connection* component = nullptr;
    if (name.empty()) {
        if (!facility->components().empty()) component = facility->components().front().get();
    } else {
        component = facility->component(name);
    }
    if (component == nullptr) {
        timeline_.event(EventKind::Error,
                        name.empty() ? "the facility has no component"
                                     : "no component named " + displayQuote(name),
                        lineNo);
    }
    return component;
}

void ScenarioRunner::check(bool held, const std::string& what, int lineNo) {
    timeline_.forgetWarnings();
    ++expectations_;
    if (!held) ++failed_;
    timeline_.event(held ? EventKind::Pass : EventKind::Failure, what, lineNo, checked_);
}

void ScenarioRunner::expectSent(Connection& component, Cursors& cursors, const Step& step,
                                int lineNo) {
    const BoundedLog& sent = component.commands();
    if (cursors.sent < sent.first()) {
        check(false,
              "sent: " + step.text + ": the host keeps only the last " +
                  std::to_string(sent.capacity()) + " commands of a component, and this "
                  "expectation reaches past them (expect sooner after the command)",
              lineNo);
        cursors.sent = sent.first();
        return;
    }
    // A final '*' matches any rest, for texts holding machine paths.
    const bool prefix = !step.text.empty() && step.text.back() == '*';
    const std::string wanted = prefix ? step.text.substr(0, step.text.size() - 1) : step.text;
    auto matches = [&](std::string_view command) {
        return prefix ? command.substr(0, wanted.size()) == wanted : command == wanted;
    };
    std::size_t found = sent.end();
    for (std::size_t i = cursors.sent; i < sent.end(); ++i) {
        if (matches(sent.at(i))) {
            found = i;
            break;
        }
    }
    if (step.kind == Step::Kind::ExpectNotSent) {
        check(found == sent.end(), "not sent: " + step.text, lineNo);
        return;
    }
    if (found < sent.end()) {
        cursors.sent = found + 1;
        check(true, "sent: " + step.text, lineNo);
        return;
    }
    bool earlier = false;
    for (std::size_t i = sent.first(); i < cursors.sent && i < sent.end(); ++i) {
        earlier |= matches(sent.at(i));
    }
    check(false,
          "not sent: " + step.text +
              (earlier ? " (it was sent before the command matched by an earlier expect)" : ""),
          lineNo);
}

void ScenarioRunner::expectMessage(Connection& component, Cursors& cursors, const Step& step,
                                   int lineNo) {
    const BoundedLog& messages = component.diagnostics();
    bool found = false;
    for (std::size_t i = std::max(cursors.message, messages.first()); i < messages.end(); ++i) {
        if (messages.at(i).find(step.text) != std::string::npos) {
            cursors.message = i + 1;
            found = true;
            break;
        }
    }
    check(found, "message containing " + displayQuote(step.text), lineNo);
}

void ScenarioRunner::execute(const Step& step, int lineNo) {
    switch (step.kind) {
        case Step::Kind::Config: {
            if (configLine_ != 0) {
                timeline_.event(EventKind::Error,
                                "a second config step: line " + std::to_string(configLine_) +
                                    " already chose the environment",
                                lineNo);
                return;
            }
            configLine_ = lineNo;
            std::string path = step.text;
            if (!folder_.empty() && !path.empty() && !isAbsolutePath(path)) path = folder_ + "/" + path;
            std::string error;
            if (!source_->configure(path, error)) {
                timeline_.event(EventKind::Error, error, lineNo);
                if (source_->facility() == nullptr) stopped_ = true;
            }
            return;
        }
        case Step::Kind::Use: {
            Facility* facility = source_->facility();
            if (facility == nullptr) {
                stopped_ = true;
            } else if (facility->component(step.name) == nullptr) {
                timeline_.event(EventKind::Error, "no component named " + displayQuote(step.name),
                                lineNo);
            } else {
                current_ = step.name;
            }
            return;
        }
        case Step::Kind::Gpi:
        case Step::Kind::Info:
        case Step::Kind::Advance:
        case Step::Kind::ExpectSlot:
        case Step::Kind::ExpectGpi: {
            Facility* facility = source_->facility();
            if (facility == nullptr) {
                stopped_ = true;
                return;
            }
            if (step.kind == Step::Kind::Gpi) {
                facility->forceGpi(step.a, step.b, step.c);
            } else if (step.kind == Step::Kind::Info) {
                facility->forceInfo(step.a, step.b, step.text);
            } else if (step.kind == Step::Kind::Advance) {
                facility->advance(step.a);
            } else if (step.kind == Step::Kind::ExpectSlot) {
                const std::string value = facility->infoText(step.a, step.b);
                check(value == step.text,
                      "info " + std::to_string(step.a) + "." + std::to_string(step.b) + " = " +
                          displayQuote(step.text) +
                          (value == step.text ? "" : ", got " + displayQuote(value)),
                      lineNo);
            } else {
                const std::int32_t state = facility->gpiState(step.a, step.b);
                check(state == step.c,
                      "gpi " + std::to_string(step.a) + "." + std::to_string(step.b) + " = " +
                          std::to_string(step.c) +
                          (state == step.c ? "" : ", got " + std::to_string(state)),
                      lineNo);
            }
            return;
        }
        case Step::Kind::ExpectWarning: {
            // Warnings are the facility's; "@name" narrows them to one component.
            const bool held = timeline_.expectWarning(step.text, step.component);
            checked_ = step.component;
            check(held,
                  "warning containing " + displayQuote(step.text) +
                      (held ? "" : ", but none was given since the previous expectation"),
                  lineNo);
            checked_.clear();
            return;
        }
        case Step::Kind::Show: {
            Facility* facility = source_->facility();
            if (facility == nullptr) {
                stopped_ = true;
                return;
            }
            if (step.name != "slots") {
                if (!step.component.empty()) {
                    if (Connection* component = target(step, lineNo)) component->showPanels();
                } else {
                    for (const auto& component : facility->components()) component->showPanels();
                }
            }
            if (step.name != "panel") facility->showSlots();
            return;
        }
        default:
            break;
    }

    Connection* component = target(step, lineNo);
    if (component == nullptr) return;
    Cursors& cursors = cursors_[component->name()];
    checked_ = component->name();
    const bool needsLive = step.kind == Step::Kind::Param || step.kind == Step::Kind::Event;
    const std::string& named = component->name();
    if (needsLive && !component->alive()) {
        timeline_.event(EventKind::Error, "no component: it was destroyed (use create)", lineNo,
                        named);
        return;
    }
    switch (step.kind) {
        case Step::Kind::Param:
            cursors.lastReply = component->parentRequest(step.text);
            break;
        case Step::Kind::Event:
            component->controlEvent(step.name, step.text);
            break;
        case Step::Kind::Destroy:
            if (!component->alive())
                timeline_.event(EventKind::Error, "no component to destroy", lineNo, named);
            component->destroy();
            break;
        case Step::Kind::Create:
            if (component->alive()) {
                timeline_.event(EventKind::Error, "a component is already running", lineNo, named);
            } else if (!component->create()) {
                timeline_.event(EventKind::Error, "the factory returned no component", lineNo,
                                named);
            }
            break;
        case Step::Kind::ExpectSent:
        case Step::Kind::ExpectNotSent:
            expectSent(*component, cursors, step, lineNo);
            break;
        case Step::Kind::ExpectControl: {
            const Control* control = component->findControl(step.name);
            const std::string* value =
                control != nullptr ? control->property(step.property) : nullptr;
            const std::string what =
                "control " + step.name + " " + step.property + " = " + displayQuote(step.text);
            if (control == nullptr) {
                check(false,
                      what + (component->alive() ? ", but there is no such control"
                                                 : ", but the component was destroyed"),
                      lineNo);
            } else if (value == nullptr) {
                check(false, what + ", but the property is not set", lineNo);
            } else {
                check(*value == step.text,
                      what + (*value == step.text ? "" : ", got " + displayQuote(*value)), lineNo);
            }
            break;
        }
        case Step::Kind::ExpectMessage:
            expectMessage(*component, cursors, step, lineNo);
            break;
        case Step::Kind::ExpectReply: {
            const auto& lastReply = cursors.lastReply;
            if (step.flag) {
                check(!lastReply,
                      "no reply" + (lastReply ? ", got " + displayQuote(*lastReply) : ""),
                      lineNo);
                break;
            }
            const bool held = lastReply && *lastReply == step.text;
            check(held,
                  "reply " + displayQuote(step.text) +
                      (held        ? ""
                       : lastReply ? ", got " + displayQuote(*lastReply)
                                   : ", got none"),
                  lineNo);
            break;
        }
        case Step::Kind::ExpectTimer: {
            const bool running = component->timerRunning(step.a);
            check(running == step.flag,
                  "timer " + std::to_string(step.a) + (step.flag ? " running" : " stopped") +
                      (running == step.flag ? ""
                       : running            ? ", but it runs"
                                            : ", but it is stopped"),
                  lineNo);
            break;
        }
        default:
            break;
    }
    checked_.clear();
}

}  // namespace vhost
