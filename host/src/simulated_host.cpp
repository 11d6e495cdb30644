#include "simulated_host.h"

#include "platform/crash_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

namespace vhost {

// ---- SimulatedHost -------------------------------------------------------

char SimulatedHost::acknowledgement_[] = "OK";

namespace {

std::string rangeText(std::int32_t device, std::int32_t index) {
    return std::to_string(device) + "." + std::to_string(index);
}

bool numberArgs(const HostCommand& command, std::size_t first, std::size_t count,
                std::vector<std::int32_t>& out) {
    for (std::size_t i = first; i < first + count; ++i) {
        if (i >= command.args.size() || command.args[i].quoted) return false;
        const auto value = parseInt32(command.args[i].text);
        if (!value) return false;
        out.push_back(*value);
    }
    return true;
}

bool quotedArgs(const HostCommand& command, std::size_t count) {
    if (command.args.size() != count) return false;
    for (const auto& arg : command.args) {
        if (!arg.quoted) return false;
    }
    return true;
}

// Polling a huge range would flood the plug-in; more than this many slots in
// one command is taken for a fault.
const std::int64_t maxPolledSlots = 4096;

}  // namespace

SimulatedHost::SimulatedHost(Environment env, Timeline& timeline, bool captureDiagnostics)
    : env_(std::move(env)), timeline_(timeline), capture_(captureDiagnostics) {}

SimulatedHost::~SimulatedHost() {
    if (component_ != nullptr) destroy();
    for (auto& entry : liveReplies_) delete[] entry.first;
}

template <typename Call>
void SimulatedHost::callPlugin(Call&& call) {
    inCall_ = true;
    capture_.begin();
    markPluginCall(true);
    try {
        call();
    } catch (...) {
        // Nothing may cross the boundary as an exception; the host survives it.
        drainDiagnostics();
        fault("the plug-in let an exception out of a call");
    }
    markPluginCall(false);
    drainDiagnostics();
    capture_.end();
    inCall_ = false;
    // A component that asked to end with "AS" is ended once its call is over.
    if (endRequested_ && !destroying_ && component_ != nullptr) {
        note("the component asked to end (AS): destroying it");
        destroy();
    }
}

void SimulatedHost::drainDiagnostics() {
    pendingDiagnostic_ += capture_.take();
    std::size_t start = 0;
    while (start < pendingDiagnostic_.size()) {
        const std::size_t end = pendingDiagnostic_.find('\n', start);
        // Each message is one write, so a text without a final line feed
        // is a whole message as well.
        const std::string message = pendingDiagnostic_.substr(
            start, end == std::string::npos ? std::string::npos : end - start);
        diagnostics_.push_back(message);
        timeline_.event(EventKind::Diagnostic, message);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    pendingDiagnostic_.clear();
}

bool SimulatedHost::create(vesk_factory_fn factory, const std::string& panelPath) {
    factory_ = factory;
    panelPath_ = panelPath;
    return recreate();
}

bool SimulatedHost::recreate() {
    if (component_ != nullptr) {
        note("a component is already running");
        return true;
    }
    if (factory_ == nullptr) return false;
    endRequested_ = false;
    timeline_.event(EventKind::Notify,
                    "create component, panel folder " + displayQuote(panelPath_));
    std::unique_ptr<PluginObject> created;
    callPlugin([&] { created = PluginObject::create(factory_, *this, panelPath_.c_str()); });
    component_ = std::move(created);
    if (component_ == nullptr) return false;
    if (endRequested_) {
        note("the component asked to end (AS) while it was created: destroying it");
        destroy();
        return true;
    }
    pump();
    return true;
}

void SimulatedHost::destroy() {
    if (component_ == nullptr) return;
    timeline_.event(EventKind::Notify, "destroy component");
    destroying_ = true;
    std::unique_ptr<PluginObject> ending = std::move(component_);
    callPlugin([&] { ending.reset(); });
    destroying_ = false;
    endRequested_ = false;
    // Whatever the component had running ends with it.
    infoRegistrations_.clear();
    gpiRegistrations_.clear();
    timers_.clear();
    queue_.clear();
}

std::optional<std::string> SimulatedHost::parentRequest(const std::string& key) {
    if (component_ == nullptr) return std::nullopt;
    timeline_.event(EventKind::Notify, "param " + key);
    std::vector<char> text(key.begin(), key.end());
    text.push_back('\0');
    char* reply = nullptr;
    callPlugin([&] { reply = component_->notify(text.data(), VESK_NOTIFY_PARENT_REQUEST); });
    std::optional<std::string> result;
    if (reply != nullptr) {
        result = std::string(reply);
        timeline_.event(EventKind::Reply, displayQuote(*result));
        // The reply is the component's: copied, then handed back.
        if (component_ != nullptr) {
            callPlugin([&] { component_->notify(reply, VESK_NOTIFY_RELEASE); });
        }
    }
    pump();
    return result;
}

void SimulatedHost::controlEvent(const std::string& control, const std::string& key) {
    if (component_ == nullptr) return;
    timeline_.event(EventKind::Notify, "event " + control + " " + key);
    const DecodedKey decoded(key);
    controlEventRecord record{};
    record.id = control.c_str();
    record.key = decoded.record();
    callPlugin([&] { component_->notify(&record, VESK_NOTIFY_CONTROL_EVENT); });
    pump();
}

void SimulatedHost::forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) {
    env_.gpi[device][input] = state;
    note("force gpi " + rangeText(device, input) + " = " + std::to_string(state));
    if (registered(gpiRegistrations_, device, input)) queueUpdate(true, device, input);
    pump();
}

void SimulatedHost::forceInfo(std::int32_t device, std::int32_t slot, const std::string& text) {
    env_.info[device][slot] = text;
    note("force info " + rangeText(device, slot) + " = " + displayQuote(text));
    if (registered(infoRegistrations_, device, slot)) queueUpdate(false, device, slot);
    pump();
}

void SimulatedHost::advance(std::int64_t ms) {
    const std::int64_t target = now_ + ms;
    long ticks = 0;
    while (component_ != nullptr) {
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (it->second.due <= target &&
                (next == timers_.end() || it->second.due < next->second.due)) {
                next = it;
            }
        }
        if (next == timers_.end()) break;
        if (++ticks > 100000) {
            fault("more than 100000 timer ticks in one advance; the rest is skipped");
            break;
        }
        const std::int32_t id = next->first;
        now_ = next->second.due;
        next->second.due = now_ + next->second.interval;
        timeline_.setTime(now_);
        timeline_.event(EventKind::Notify, "timer " + std::to_string(id));
        callPlugin([&] {
            component_->notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)),
                               VESK_NOTIFY_TIMER);
        });
        pump();
    }
    now_ = target;
    timeline_.setTime(now_);
}

void SimulatedHost::queueUpdate(bool gpi, std::int32_t device, std::int32_t index) {
    Update update{gpi, device, index, 0, std::string()};
    if (gpi) {
        update.state = gpiState(device, index);
        update.text = std::to_string(update.state);
    } else {
        update.text = infoText(device, index);
    }
    queue_.push_back(update);
}

void SimulatedHost::pump() {
    int delivered = 0;
    while (!queue_.empty() && component_ != nullptr && !inCall_) {
        if (++delivered > maxDeliveriesPerStep) {
            fault("more than " + std::to_string(maxDeliveriesPerStep) +
                  " driver updates in one step: the plug-in feeds its own source? "
                  "dropping the rest");
            queue_.clear();
            break;
        }
        const Update update = queue_.front();
        queue_.pop_front();
        driverUpdateRecord record{};
        record.device = update.device;
        record.index = update.index;
        record.state = update.state;
        std::strncpy(record.text, update.text.c_str(), VESK_DRIVER_TEXT_CAPACITY - 1);
        if (update.text.size() >= VESK_DRIVER_TEXT_CAPACITY) {
            note("info text cut to " + std::to_string(VESK_DRIVER_TEXT_CAPACITY - 1) +
                 " characters for the update record");
        }
        timeline_.event(EventKind::Notify,
                        std::string("update ") + (update.gpi ? "gpi " : "info ") +
                            rangeText(update.device, update.index) +
                            (update.gpi ? " state=" + std::to_string(update.state)
                                        : " text=" + displayQuote(update.text)));
        callPlugin([&] { component_->notify(&record, VESK_NOTIFY_DRIVER_UPDATE); });
    }
}

// ---- commands from the plug-in --------------------------------------------

char* SimulatedHost::notify(void* data, int type) {
    drainDiagnostics();
    if (type == VESK_NOTIFY_RELEASE) {
        if (data == nullptr) return nullptr;
        auto it = liveReplies_.find(static_cast<const char*>(data));
        if (it == liveReplies_.end()) {
            fault(
                data == acknowledgement_
                    ? "the plug-in handed back the reply to PS, which is never taken back"
                    : "the plug-in handed back a text the host did not give or already took back");
            return nullptr;
        }
        timeline_.event(EventKind::Release, "reply to " + it->second + " handed back");
        delete[] it->first;
        liveReplies_.erase(it);
        return nullptr;
    }
    if (type != VESK_NOTIFY_COMMAND) {
        fault("the plug-in sent notification type " + std::to_string(type) + " to the host");
        return nullptr;
    }
    if (data == nullptr) {
        fault("the plug-in sent a null command text");
        return nullptr;
    }
    const std::string text(static_cast<const char*>(data));
    commands_.push_back(text);
    timeline_.event(EventKind::Command, text);
    if (!inCall_) fault("command outside a call into the plug-in: " + text);
    char* reply = execute(text);
    return reply;
}

char* SimulatedHost::freshReply(const std::string& text, const std::string& command) {
    char* reply = new char[text.size() + 1];
    std::memcpy(reply, text.c_str(), text.size() + 1);
    liveReplies_[reply] = command;
    timeline_.event(EventKind::Reply, displayQuote(text));
    return reply;
}

char* SimulatedHost::execute(const std::string& text) {
    std::string error;
    const auto parsed = parseCommand(text, error);
    if (!parsed) {
        note("malformed command (" + error + "), ignored");
        return nullptr;
    }
    const HostCommand& command = *parsed;
    const std::string& word = command.word;
    std::vector<std::int32_t> numbers;
    bool wellFormed = true;

    // Commands whose arguments are all quoted texts, and that may answer.
    struct QuotedCommand {
        const char* word;
        std::size_t fewest;
        std::size_t most;
        char* (SimulatedHost::*run)(const HostCommand&);
    };
    static const QuotedCommand quotedCommands[] = {
        {"PS", 2, 3, &SimulatedHost::loadPanel},   {"TP", 3, 3, &SimulatedHost::putText},
        {"TG", 3, 3, &SimulatedHost::getText},     {"XI", 2, 2, &SimulatedHost::listControls},
        {"SD", 1, 1, &SimulatedHost::lookUp},
    };
    for (const QuotedCommand& quoted : quotedCommands) {
        if (word != quoted.word) continue;
        const std::size_t count = command.args.size();
        if (count < quoted.fewest || count > quoted.most || !quotedArgs(command, count)) {
            note("malformed " + word + " command, ignored");
            return nullptr;
        }
        return (this->*quoted.run)(command);
    }

    if (word == "IR" || word == "GR") {
        const bool add =
            command.args.size() == 4 && command.args[3].quoted && command.args[3].text == "ADD";
        if (!numberArgs(command, 0, 3, numbers) || (command.args.size() != 3 && !add)) {
            wellFormed = false;
        } else {
            registerSlots(command, word == "GR");
        }
    } else if (word == "IP" || word == "GP") {
        if (command.args.size() != 3 || !numberArgs(command, 0, 3, numbers)) {
            wellFormed = false;
        } else {
            poll(command, word == "GP");
        }
    } else if (word == "IU" || word == "GU") {
        if (command.args.size() != 1 || !numberArgs(command, 0, 1, numbers)) {
            wellFormed = false;
        } else {
            (word == "GU" ? gpiRegistrations_ : infoRegistrations_).erase(numbers[0]);
        }
    } else if (word == "IW") {
        if (command.args.size() != 4 || !numberArgs(command, 0, 1, numbers) ||
            !command.args[1].quoted || !numberArgs(command, 2, 2, numbers)) {
            wellFormed = false;
        } else {
            writeInfo(command);
        }
    } else if (word == "ET") {
        if (command.args.empty() || command.args.size() > 2 ||
            !numberArgs(command, 0, command.args.size(), numbers)) {
            wellFormed = false;
        } else {
            timer(command);
        }
    } else if (word == "AS") {
        if (!command.args.empty()) {
            wellFormed = false;
        } else if (!destroying_) {
            endRequested_ = true;
        }
    } else {
        note("unknown command " + word + ", ignored");
        return nullptr;
    }
    if (!wellFormed) note("malformed " + word + " command, ignored");
    return nullptr;
}

char* SimulatedHost::loadPanel(const HostCommand& command) {
    const std::string& id = command.args[0].text;
    const std::string& file = command.args[1].text;
    std::ifstream in(file);
    if (!in) {
        note("cannot open layout " + displayQuote(file) + ": no panel " + displayQuote(id));
        return nullptr;
    }
    std::vector<std::string> warnings;
    Panel panel{file, parseLayout(in, file, warnings)};
    for (const auto& warning : warnings) note("layout: " + warning);
    note("panel " + displayQuote(id) + " loaded with " +
         std::to_string(panel.layout.controls.size()) + " controls");
    panels_[id] = std::move(panel);
    timeline_.event(EventKind::Reply, displayQuote(acknowledgement_));
    return acknowledgement_;
}

char* SimulatedHost::putText(const HostCommand& command) {
    const std::string& assignment = command.args[0].text;
    const std::string& panelId = command.args[1].text;
    const std::string& controlId = command.args[2].text;
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
        note("TP without property=value, ignored");
        return nullptr;
    }
    auto panel = panels_.find(panelId);
    if (panel == panels_.end()) {
        note("no panel " + displayQuote(panelId));
        return nullptr;
    }
    Control* control = panel->second.layout.find(controlId);
    if (control == nullptr) {
        note("no control " + displayQuote(controlId) + " on panel " + displayQuote(panelId));
        return nullptr;
    }
    control->set(assignment.substr(0, equals), assignment.substr(equals + 1));
    return nullptr;
}

char* SimulatedHost::getText(const HostCommand& command) {
    const std::string& panelId = command.args[0].text;
    const std::string& controlId = command.args[1].text;
    const std::string& property = command.args[2].text;
    auto panel = panels_.find(panelId);
    const Control* control =
        panel == panels_.end() ? nullptr : panel->second.layout.find(controlId);
    if (control == nullptr) {
        note("no control " + displayQuote(controlId) + " on panel " + displayQuote(panelId));
        timeline_.event(EventKind::Reply, "null");
        return nullptr;
    }
    std::string reply;
    if (property == "all") {
        for (const auto& entry : control->properties) {
            if (!reply.empty()) reply += '\n';
            reply += entry.first + "=" + entry.second;
        }
    } else {
        const std::string* value = control->property(property);
        reply = property + "=" + (value != nullptr ? *value : std::string());
    }
    return freshReply(reply, "TG");
}

char* SimulatedHost::listControls(const HostCommand& command) {
    const std::string& panelId = command.args[0].text;
    const std::string& filter = command.args[1].text;
    auto panel = panels_.find(panelId);
    std::string reply;
    if (panel != panels_.end()) {
        for (const auto& control : panel->second.layout.controls) {
            if (!startsWithIgnoreCase(control.id, filter)) continue;
            if (!reply.empty()) reply += ',';
            reply += control.id;
        }
    }
    if (reply.empty()) {
        // No reply rather than an empty one: an empty text would read as a
        // list holding one empty id.
        timeline_.event(EventKind::Reply, "null");
        return nullptr;
    }
    return freshReply(reply, "XI");
}

char* SimulatedHost::lookUp(const HostCommand& command) {
    const auto it = env_.instances.find(command.args[0].text);
    if (it == env_.instances.end()) {
        timeline_.event(EventKind::Reply, "null");
        return nullptr;
    }
    return freshReply(std::to_string(it->second.device) + " " + std::to_string(it->second.offset),
                      "SD");
}

void SimulatedHost::registerSlots(const HostCommand& command, bool gpi) {
    std::vector<std::int32_t> n;
    numberArgs(command, 0, 3, n);
    Ranges& ranges = gpi ? gpiRegistrations_ : infoRegistrations_;
    // Without 'ADD' the range replaces what was registered on that device.
    if (command.args.size() == 3) ranges[n[0]].clear();
    ranges[n[0]].emplace_back(n[1], n[2]);
}

bool SimulatedHost::registered(const Ranges& ranges, std::int32_t device, std::int32_t index) {
    const auto it = ranges.find(device);
    if (it == ranges.end()) return false;
    for (const auto& range : it->second) {
        if (index >= range.first && index <= range.second) return true;
    }
    return false;
}

void SimulatedHost::poll(const HostCommand& command, bool gpi) {
    std::vector<std::int32_t> n;
    numberArgs(command, 0, 3, n);
    const std::int64_t first = n[1];
    const std::int64_t last = n[2];
    if (last < first || last - first + 1 > maxPolledSlots) {
        note("poll range " + std::to_string(first) + ".." + std::to_string(last) +
             " is empty or larger than " + std::to_string(maxPolledSlots) + " slots, ignored");
        return;
    }
    for (std::int64_t index = first; index <= last; ++index) {
        queueUpdate(gpi, n[0], static_cast<std::int32_t>(index));
    }
}

void SimulatedHost::writeInfo(const HostCommand& command) {
    std::vector<std::int32_t> n;
    numberArgs(command, 0, 1, n);
    numberArgs(command, 2, 2, n);
    const std::int32_t device = n[0];
    const std::int32_t slot = n[1];
    env_.info[device][slot] = command.args[1].text;
    note("info " + rangeText(device, slot) + " = " + displayQuote(command.args[1].text));
    if (registered(infoRegistrations_, device, slot)) queueUpdate(false, device, slot);
}

void SimulatedHost::timer(const HostCommand& command) {
    std::vector<std::int32_t> n;
    numberArgs(command, 0, command.args.size(), n);
    if (n.size() == 1 || n[1] == 0) {
        timers_.erase(n[0]);
        return;
    }
    if (n[1] < 0) {
        note("negative timer interval, ignored");
        return;
    }
    // Starting a running timer starts it afresh.
    timers_[n[0]] = Timer{n[1], now_ + n[1]};
}

// ---- state ----------------------------------------------------------------

const Control* SimulatedHost::findControl(const std::string& id) const {
    for (const auto& panel : panels_) {
        const Control* control = panel.second.layout.find(id);
        if (control != nullptr) return control;
    }
    return nullptr;
}

std::string SimulatedHost::infoText(std::int32_t device, std::int32_t slot) const {
    const auto dev = env_.info.find(device);
    if (dev == env_.info.end()) return std::string();
    const auto it = dev->second.find(slot);
    return it == dev->second.end() ? std::string() : it->second;
}

std::int32_t SimulatedHost::gpiState(std::int32_t device, std::int32_t input) const {
    const auto dev = env_.gpi.find(device);
    if (dev == env_.gpi.end()) return 0;
    const auto it = dev->second.find(input);
    return it == dev->second.end() ? 0 : it->second;
}

void SimulatedHost::showPanels() {
    if (panels_.empty()) timeline_.event(EventKind::State, "no panel loaded");
    for (const auto& panel : panels_) {
        timeline_.event(EventKind::State, "panel " + displayQuote(panel.first) + " from " +
                                              displayQuote(panel.second.file));
        for (const auto& control : panel.second.layout.controls) {
            std::string line = "  " + control.id;
            for (const auto& entry : control.properties) {
                line += " " + entry.first + "=" + displayQuote(entry.second);
            }
            timeline_.event(EventKind::State, line);
        }
    }
}

void SimulatedHost::showSlots() {
    for (const auto& device : env_.info) {
        for (const auto& slot : device.second) {
            timeline_.event(
                EventKind::State,
                "info " + rangeText(device.first, slot.first) + " = " + displayQuote(slot.second) +
                    (registered(infoRegistrations_, device.first, slot.first) ? "  (registered)"
                                                                              : ""));
        }
    }
    for (const auto& device : env_.gpi) {
        for (const auto& input : device.second) {
            timeline_.event(
                EventKind::State,
                "gpi " + rangeText(device.first, input.first) + " = " +
                    std::to_string(input.second) +
                    (registered(gpiRegistrations_, device.first, input.first) ? "  (registered)"
                                                                              : ""));
        }
    }
    for (const auto& timer : timers_) {
        timeline_.event(EventKind::State, "timer " + std::to_string(timer.first) + " every " +
                                              std::to_string(timer.second.interval) +
                                              " ms, next at " + std::to_string(timer.second.due) +
                                              " ms");
    }
}

void SimulatedHost::finish() {
    destroy();
    for (const auto& entry : liveReplies_) {
        fault("the reply to " + entry.second + " " + displayQuote(entry.first) +
              " was never handed back");
        delete[] entry.first;
    }
    liveReplies_.clear();
}

}  // namespace vhost
