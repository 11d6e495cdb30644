#include "front/recording/recorder.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "connection/connection.h"
#include "front/recording/step_text.h"
#include "front/scenario.h"
#include "platform/platform.h"
#include "text/host_parsers.h"

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

void appendNumber(std::string& out, std::int32_t number) {
    char digits[16];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    out.append(digits, written.ptr);
}

std::uint64_t slotKey(std::int32_t device, std::int32_t slot) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(device)) << 32 |
           static_cast<std::uint32_t>(slot);
}

}  // namespace

bool Recorder::checkFile(const std::string& path, bool& replaces, std::string& error) {
    namespace fs = std::filesystem;
    replaces = false;
    if (path.empty()) {
        error = "--record needs a file name, not an empty one (without --record the recording "
                "is kept in memory)";
        return false;
    }
    std::error_code failed;
    // Not followed: a link is named as what it is.
    const fs::file_status status = fs::symlink_status(fs::path(path), failed);
    switch (status.type()) {
        case fs::file_type::not_found:
            return true;
        case fs::file_type::regular:
            replaces = true;
            return true;
        case fs::file_type::symlink:
            error = "the recording " + path +
                    " is a symbolic link; name the file itself (or a new one), so that it is "
                    "plain which file is replaced";
            return false;
        case fs::file_type::directory:
            error = "the recording " + path + " is a folder, not a file";
            return false;
        case fs::file_type::none:
            error = "cannot look at the recording " + path + ": " + failed.message();
            return false;
        default:
            error = "the recording " + path +
                    " is not a regular file (a device, a pipe or a socket); give a regular file "
                    "or a new one";
            return false;
    }
}

Recorder::~Recorder() {
    writeDone();
    if (facility_.commandTap() == this) facility_.setCommandTap(nullptr);
}

bool Recorder::start(const RecordingStart& start, std::string& error) {
    if (!start.file.empty()) {
        // Checked again here: a pipe put in its place since would block the start.
        bool replaces = false;
        if (!checkFile(start.file, replaces, error)) return false;
        out_.open(start.file, std::ios::binary | std::ios::trunc);
        if (out_) in_.open(start.file, std::ios::binary);
        if (!out_ || !in_) {
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
    facility_.setCommandTap(this);
    if (!file_.empty()) setRecording(true);
    flushFile();
    return true;
}

void Recorder::setRecording(bool on) {
    if (on == on_) return;
    writeDone();
    on_ = on;
    const std::string what = std::string("recording ") + (on ? "on" : "off") + " at " +
                             seconds(facility_.now()) + " s";
    write("# " + what + (on ? "" : ": later steps are not checked"));
    flushFile();
    timeline_.event(EventKind::Host,
                    what + (file_.empty() ? std::string() : ", to " + file_));
}

std::string Recorder::read(std::size_t offset, std::size_t max) const {
    if (offset >= size_ || max == 0) return std::string();
    const std::size_t wanted = std::min(max, size_ - offset);
    std::string piece;
    if (file_.empty()) {
        piece.reserve(wanted);
        while (piece.size() < wanted) {
            const std::size_t at = offset + piece.size();
            const std::string& from = memory_[at / memoryPiece];
            const std::size_t before = piece.size();
            piece.append(from, at % memoryPiece, wanted - piece.size());
            if (piece.size() == before) break;
        }
        return piece;
    }
    piece.resize(wanted);
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (in_) in_.read(&piece[0], static_cast<std::streamsize>(wanted));
    piece.resize(in_.gcount() > 0 ? static_cast<std::size_t>(in_.gcount()) : 0);
    return piece;
}

void Recorder::flushFile() {
    if (file_.empty() || fileFailed_) return;
    out_.write(unflushed_.data(), static_cast<std::streamsize>(unflushed_.size()));
    out_.flush();
    if (!out_) {
        fileFailed_ = true;
        unflushed_.clear();
        timeline_.event(EventKind::Failure, "cannot write the recording " + file_ +
                                                " any more (is the disk full?); it ends here");
        return;
    }
    // Only what reached the file is served.
    size_ += unflushed_.size();
    unflushed_.clear();
}

void Recorder::write(std::string_view line) {
    if (!file_.empty()) {
        if (fileFailed_) return;
        unflushed_ += line;
        unflushed_ += '\n';
        return;
    }
    if (full_) return;
    const std::size_t roomForTheNotice = 160;
    if (size_ + line.size() + 1 + roomForTheNotice > memoryLimit) {
        full_ = true;
        const std::string why = "the recording reached " + std::to_string(memoryLimit) +
                                " bytes and stops here; give --record FILE to record longer";
        keepInMemory("# " + why);
        timeline_.event(EventKind::Host, why);
        return;
    }
    keepInMemory(line);
}

void Recorder::keepInMemory(std::string_view line) {
    // Every piece but the last is full, so that a byte's piece follows from its offset.
    const auto append = [this](std::string_view text) {
        for (std::size_t at = 0; at < text.size();) {
            if (memory_.empty() || memory_.back().size() == memoryPiece) {
                memory_.emplace_back();
                memory_.back().reserve(memoryPiece);
            }
            const std::size_t taken =
                std::min(memoryPiece - memory_.back().size(), text.size() - at);
            memory_.back().append(text.substr(at, taken));
            at += taken;
        }
    };
    append(line);
    append("\n");
    size_ += line.size() + 1;
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

void Recorder::begin(const std::string& component, const std::string& step, bool ofABurst) {
    const std::int64_t now = facility_.now();
    if (actionsUsed_ == actions_.size()) actions_.emplace_back();
    Pending& pending = actions_[actionsUsed_++];
    running_ = true;
    pending.gap = now - last_;
    last_ = now;
    pending.step = step;
    pending.component = component;
    pending.componentsBefore = facility_.components().size();
    pending.sent.clear();
    pending.sentText.clear();
    pending.sentLeftOut = 0;
    pending.slots.clear();
    pending.controls.clear();
    pending.reply.reset();
    pending.forced.reset();
    // Only the outcomes of a recorded action are written: the commands
    // sent are kept only then.
    pending.checked = on_;
    pending.ofABurst = ofABurst;
}

void Recorder::sent(const Connection& from, std::string_view command) {
    if (!running_) return;
    Pending& pending = current();
    if (!pending.checked) return;
    if (pending.sentText.size() + command.size() > mostSentPerAction) {
        ++pending.sentLeftOut;
        return;
    }
    pending.sentText += command;
    pending.sent.emplace_back(from.number(), pending.sentText.size());
}

void Recorder::slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) {
    // Outcomes are kept only for an action whose outcomes are written.
    if (!running_ || !current().checked) return;
    Pending& pending = current();
    const std::uint64_t key = slotKey(device, slot);
    if (pending.slots.empty() || pending.slots.back().key != key) {
        SlotWrite& write = pending.slots.emplace_back();
        write.key = key;
        write.device = device;
        write.slot = slot;
    }
    pending.slots.back().text = text;
}

void Recorder::controlChanged(std::uint64_t key, const Connection& component,
                              const std::string& control, const std::string& text) {
    if (!running_ || !current().checked || !equalsIgnoreCase(control, "Tally")) return;
    Pending& pending = current();
    if (pending.controls.empty() || pending.controls.back().key != key) {
        // Made in place: a mixer's cut adds one a camera.
        ControlWrite& write = pending.controls.emplace_back();
        write.key = key;
        write.component = component.number();
        write.control = control;
    }
    pending.controls.back().text = text;
}

void Recorder::end() {
    running_ = false;
    if (!current().ofABurst || !writeLater_ || !writeLater_()) writeDone();
}

void Recorder::writeDone() {
    const std::size_t done = actionsUsed_ - (running_ ? 1 : 0);
    if (done == 0) return;
    for (std::size_t i = 0; i < done; ++i) writeAction(actions_[i]);
    // The one still running moves to the front, its tables with it.
    if (running_) std::swap(actions_[0], actions_[actionsUsed_ - 1]);
    actionsUsed_ -= done;
    flushFile();
}

void Recorder::writeAction(const Pending& pending) {
    std::int64_t gap = pending.gap;
    for (; gap > longestAdvance; gap -= longestAdvance) {
        write("advance " + std::to_string(longestAdvance));
    }
    write("advance " + std::to_string(gap));
    write((pending.component.empty() ? "" : "@" + pending.component + " ") + pending.step);
    if (!pending.checked) return;
    std::string& line = line_;
    const std::string self = "expect @" + pending.component + " ";
    if (pending.reply) {
        write(self + (*pending.reply ? "reply = " + scenarioValue(**pending.reply) : "reply none"));
    }
    // The commands, a component at a time in the facility's order, each
    // component's in the order sent.
    const auto& components = facility_.components();
    order_.resize(pending.sent.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    const auto byComponent = [&pending](std::size_t a, std::size_t b) {
        return pending.sent[a].first < pending.sent[b].first;
    };
    // A mixer's packet reaches its components in their order: often sorted already.
    if (!std::is_sorted(order_.begin(), order_.end(), byComponent)) {
        std::stable_sort(order_.begin(), order_.end(), byComponent);
    }
    std::string name;
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const std::size_t i = order_[k];
        const std::size_t number = pending.sent[i].first;
        if (number >= pending.componentsBefore || number >= components.size()) continue;
        if (k == 0 || pending.sent[order_[k - 1]].first != number) {
            name = "@" + components[number]->name();
        }
        const std::size_t from = i == 0 ? 0 : pending.sent[i - 1].second;
        const std::string_view command(pending.sentText.data() + from, pending.sent[i].second - from);
        line.assign("expect ").append(name).append(" sent ");
        if (!appendSentPattern(line, command)) {
            line.assign("# ").append(name).append(" sent ");
            line.append(displayQuote(std::string(command)));
            line.append(", which no expect line can hold");
        }
        write(line);
    }
    if (pending.sentLeftOut > 0) {
        write("# " + std::to_string(pending.sentLeftOut) +
              " more commands were sent in this step than a recording keeps (" +
              std::to_string(mostSentPerAction) + " bytes of them); they are not checked");
    }
    for (const auto& [firstWrite, lastWrite] : firstAndLast(pending.slots)) {
        const SlotWrite& slot = pending.slots[firstWrite];
        const std::string& text = pending.slots[lastWrite].text;
        if (pending.forced && slot.device == pending.forced->device &&
            slot.slot == pending.forced->slot && text == pending.forced->text) {
            continue;
        }
        line.assign("expect slot ");
        appendNumber(line, slot.device);
        line += ' ';
        appendNumber(line, slot.slot);
        line += " = ";
        appendScenarioValue(line, text);
        write(line);
    }
    for (const auto& [firstWrite, lastWrite] : firstAndLast(pending.controls)) {
        const ControlWrite& control = pending.controls[firstWrite];
        line.assign("expect @").append(components[control.component]->name()).append(" control ");
        line.append(control.control).append(" = ");
        appendScenarioValue(line, pending.controls[lastWrite].text);
        write(line);
    }
}

template <typename Write>
const std::vector<std::pair<std::size_t, std::size_t>>& Recorder::firstAndLast(
    const std::vector<Write>& writes) {
    firstAndLast_.clear();
    // Each key greater than the one before (a cut's slots and controls, in
    // the components' order): every write is its key's first and last.
    std::size_t rising = 1;
    while (rising < writes.size() && writes[rising - 1].key < writes[rising].key) ++rising;
    if (rising >= writes.size()) {
        for (std::size_t i = 0; i < writes.size(); ++i) firstAndLast_.emplace_back(i, i);
        return firstAndLast_;
    }
    byKey_.clear();
    for (std::size_t i = 0; i < writes.size(); ++i) byKey_.emplace_back(writes[i].key, i);
    std::sort(byKey_.begin(), byKey_.end());
    for (std::size_t i = 0; i < byKey_.size(); ++i) {
        if (i == 0 || byKey_[i].first != byKey_[i - 1].first) {
            firstAndLast_.emplace_back(byKey_[i].second, byKey_[i].second);
        } else {
            firstAndLast_.back().second = byKey_[i].second;
        }
    }
    std::sort(firstAndLast_.begin(), firstAndLast_.end());
    return firstAndLast_;
}

Recorder::Action::Action(Recorder* recorder, const std::string& component, const std::string& step,
                         bool ofABurst)
    : recorder_(recorder != nullptr && !recorder->running_ ? recorder : nullptr) {
    if (recorder_ != nullptr) recorder_->begin(component, step, ofABurst);
}

Recorder::Action::~Action() {
    if (recorder_ != nullptr) recorder_->end();
}

void Recorder::Action::reply(const std::optional<std::string>& reply) {
    if (recorder_ != nullptr) recorder_->current().reply = reply;
}

void Recorder::Action::forcedSlot(std::int32_t device, std::int32_t slot,
                                  const std::string& text) {
    if (recorder_ != nullptr)
        recorder_->current().forced = SlotWrite{slotKey(device, slot), device, slot, text};
}

}  // namespace vhost
