#include "front/recording/recorder.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "connection/connection.h"
#include "front/recording/step_text.h"
#include "front/scenario.h"
#include "host_parsers.h"
#include "platform/platform.h"

namespace vhost {

namespace {

std::string seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string slotName(std::int32_t device, std::int32_t slot) {
    return std::to_string(device) + " " + std::to_string(slot);
}

}  // namespace

bool Recorder::start(const RecordingStart& start, std::string& error) {
    if (!start.file.empty()) {
        out_.open(start.file, std::ios::binary | std::ios::trunc);
        if (!out_) {
            error = "cannot write the recording " + start.file;
            return false;
        }
        file_ = start.file;
    }
    write("# A rehearsal on the live page of vesk-host, recorded as a scenario.");
    write("# Replay it with: vesk-host <this file>");
    if (!start.pluginNote.empty()) {
        write("# It ran with --plugin " + start.pluginNote + "; replay it with the same.");
    }
    if (start.configPath.empty()) {
        write("# The facility ran without an environment file.");
    } else {
        // Beside a file, the environment is named relative to it, so that
        // both can move together (into a repository, say).
        const std::string path = file_.empty() ? absolutePath(start.configPath)
                                               : pathFrom(folderOf(file_), start.configPath);
        write("config " + scenarioValue(path));
    }
    if (!start.scenarioPath.empty()) {
        std::ifstream in(start.scenarioPath, std::ios::binary);
        write("");
        write("# The scenario " + start.scenarioPath + " ran first:");
        std::string line;
        bool first = true;
        while (readLine(in, line) == LineRead::Line) {
            if (first) dropByteOrderMark(line);
            first = false;
            const ParsedLine parsed = parseScenarioLine(line);
            if (parsed.step && parsed.step->kind == Step::Kind::Config) {
                write("# " + trim(line) + "  (the environment is named above)");
            } else {
                write(line);
            }
        }
    }
    last_ = facility_.now();
    write("");
    write("# Live from " + seconds(last_) + " s on.");
    if (!file_.empty()) setRecording(true);
    return true;
}

void Recorder::setRecording(bool on) {
    if (on == on_) return;
    on_ = on;
    const std::string what = std::string("recording ") + (on ? "on" : "off") + " at " +
                             seconds(facility_.now()) + " s";
    write("# " + what + (on ? "" : ": later steps are not checked"));
    timeline_.event(EventKind::Host,
                    what + (file_.empty() ? std::string() : ", to " + file_));
}

std::string Recorder::text() const {
    if (file_.empty()) {
        std::string text;
        text.reserve(memoryUsed_);
        for (const std::string& piece : memory_) text += piece;
        return text;
    }
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Recorder::write(const std::string& line) {
    if (!file_.empty()) {
        if (fileFailed_) return;
        out_ << line << '\n';
        out_.flush();
        if (!out_) {
            fileFailed_ = true;
            timeline_.event(EventKind::Failure, "cannot write the recording " + file_ +
                                                    " any more (is the disk full?); it ends here");
        }
        return;
    }
    if (full_) return;
    std::string text = line + "\n";
    const std::size_t roomForTheNotice = 160;
    if (memoryUsed_ + text.size() + roomForTheNotice > memoryLimit) {
        full_ = true;
        const std::string why = "the recording reached " + std::to_string(memoryLimit) +
                                " bytes and stops here; give --record FILE to record longer";
        text = "# " + why + "\n";
        timeline_.event(EventKind::Host, why);
    }
    if (memory_.empty() || memory_.back().size() + text.size() > memoryPiece) {
        memory_.emplace_back();
        memory_.back().reserve(std::max(memoryPiece, text.size()));
    }
    memory_.back() += text;
    memoryUsed_ += text.size();
}

std::string Recorder::gpiStep(std::int32_t device, std::int32_t input, std::int32_t state) {
    return "gpi " + std::to_string(device) + " " + std::to_string(input) + " " +
           std::to_string(state);
}

std::string Recorder::infoStep(std::int32_t device, std::int32_t slot, const std::string& text) {
    return "info " + slotName(device, slot) + " " + scenarioValue(text);
}

std::string Recorder::paramStep(const std::string& key) { return "param " + scenarioValue(key); }

std::string Recorder::eventStep(const std::string& control, const std::string& key) {
    return "event " + control + " " + scenarioValue(key);
}

void Recorder::begin(const std::string& component, const std::string& step) {
    const std::int64_t now = facility_.now();
    write("advance " + std::to_string(now - last_));
    last_ = now;
    write((component.empty() ? "" : "@" + component + " ") + step);
    Pending pending;
    pending.component = component;
    for (const auto& each : facility_.components()) {
        pending.sentBefore.push_back(each->commands().end());
    }
    pending_ = std::move(pending);
}

void Recorder::remember(std::vector<Written>& list, const std::string& where,
                        const std::string& text) {
    for (Written& written : list) {
        if (written.where == where) {
            written.text = text;
            return;
        }
    }
    list.push_back(Written{where, text});
}

void Recorder::slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) {
    if (pending_) remember(pending_->slots, slotName(device, slot), text);
}

void Recorder::controlChanged(const std::string& component, const std::string& control,
                              const std::string& text) {
    if (pending_ && equalsIgnoreCase(control, "Tally")) {
        remember(pending_->controls, "@" + component + " control " + control, text);
    }
}

void Recorder::end() {
    Pending pending = std::move(*pending_);
    pending_.reset();
    if (!on_) return;
    const std::string self = "expect @" + pending.component + " ";
    if (pending.reply) {
        write(self + (*pending.reply ? "reply = " + scenarioValue(**pending.reply) : "reply none"));
    }
    const auto& components = facility_.components();
    for (std::size_t i = 0; i < components.size() && i < pending.sentBefore.size(); ++i) {
        const Connection& component = *components[i];
        const BoundedLog& sent = component.commands();
        const std::string name = "@" + component.name();
        std::size_t from = pending.sentBefore[i];
        if (from < sent.first()) {
            write("# " + name + " sent more commands than the host keeps; the first " +
                  std::to_string(sent.first() - from) + " are not checked");
            from = sent.first();
        }
        for (std::size_t n = from; n < sent.end(); ++n) {
            const auto pattern = sentPattern(sent.at(n));
            write(pattern ? "expect " + name + " sent " + *pattern
                          : "# " + name + " sent " + displayQuote(sent.at(n)) +
                                ", which no expect line can hold");
        }
    }
    for (const Written& slot : pending.slots) {
        if (slot.where == pending.forced.where && slot.text == pending.forced.text) continue;
        write("expect slot " + slot.where + " = " + scenarioValue(slot.text));
    }
    for (const Written& control : pending.controls) {
        write("expect " + control.where + " = " + scenarioValue(control.text));
    }
}

Recorder::Action::Action(Recorder* recorder, const std::string& component,
                         const std::string& step)
    : recorder_(recorder != nullptr && !recorder->pending_ ? recorder : nullptr) {
    if (recorder_ != nullptr) recorder_->begin(component, step);
}

Recorder::Action::~Action() {
    if (recorder_ != nullptr) recorder_->end();
}

void Recorder::Action::reply(const std::optional<std::string>& reply) {
    if (recorder_ != nullptr) recorder_->pending_->reply = reply;
}

void Recorder::Action::forcedSlot(std::int32_t device, std::int32_t slot,
                                  const std::string& text) {
    if (recorder_ != nullptr) recorder_->pending_->forced = Written{slotName(device, slot), text};
}

}  // namespace vhost
