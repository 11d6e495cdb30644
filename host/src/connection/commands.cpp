// The host's side of every command a component sends.
#include <cstring>

#include "connection/connection.h"
#include "facility/facility.h"
#include "platform/platform.h"

namespace vhost {

namespace {

// Up to four numbers of one command, without allocating.
struct Numbers {
    std::int32_t value[4] = {0, 0, 0, 0};
    std::size_t count = 0;
    std::int32_t operator[](std::size_t i) const { return value[i]; }
};

bool numberArgs(const HostCommand& command, std::size_t first, std::size_t count, Numbers& out) {
    for (std::size_t i = first; i < first + count; ++i) {
        if (i >= command.args.size() || command.args[i].quoted || out.count == 4) return false;
        const auto value = parseInt32(command.args[i].text);
        if (!value) return false;
        out.value[out.count++] = *value;
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

// Why a command that cannot be read matters: the wire format has no
// escaping, so a real host cannot read it either.
const char unreadable[] =
    "; commands have no escaping, so a real host cannot read this one either";

}  // namespace

char* Connection::notify(void* data, int type) {
    facility_.drainDiagnostics(*this);
    if (type == VESK_NOTIFY_RELEASE) {
        if (data == nullptr) return nullptr;
        auto it = liveReplies_.find(static_cast<const char*>(data));
        if (it == liveReplies_.end()) {
            fault(data == acknowledgement_
                      ? "the plug-in handed back the reply to PS, which is never taken back"
                      : "the plug-in handed back a text the host did not give or already took "
                        "back");
            return nullptr;
        }
        event(EventKind::Release, "reply to " + it->second + " handed back");
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
    // One reused buffer: copying the command allocates nothing once it has
    // seen the longest. Commands do not nest, so it is free here.
    std::string& text = commandText_;
    text.assign(static_cast<const char*>(data));
    commands_.push(text);
    event(EventKind::Command, text);
    if (!facility_.busy()) fault("command outside a call into the plug-in: " + text);
    return execute(text);
}

char* Connection::freshReply(const std::string& text, const std::string& command) {
    char* reply = new char[text.size() + 1];
    std::memcpy(reply, text.c_str(), text.size() + 1);
    liveReplies_[reply] = command;
    event(EventKind::Reply, displayQuote(text));
    return reply;
}

char* Connection::execute(const std::string& text) {
    std::string error;
    HostCommand& command = parsed_;
    if (!parseCommand(text, command, error)) {
        warn("malformed command (" + error + "), ignored" + unreadable);
        return nullptr;
    }
    const std::string& word = command.word;
    Numbers n;
    bool wellFormed = true;

    // Commands whose arguments are all quoted texts, and that may answer.
    struct QuotedCommand {
        const char* word;
        std::size_t fewest;
        std::size_t most;
        char* (Connection::*run)(const HostCommand&);
    };
    static const QuotedCommand quotedCommands[] = {
        {"PS", 2, 3, &Connection::loadPanel},   {"TP", 3, 3, &Connection::putText},
        {"TG", 3, 3, &Connection::getText},     {"XI", 2, 2, &Connection::listControls},
        {"SD", 1, 1, &Connection::lookUp},
    };
    for (const QuotedCommand& quoted : quotedCommands) {
        if (word != quoted.word) continue;
        const std::size_t count = command.args.size();
        if (count < quoted.fewest || count > quoted.most || !quotedArgs(command, count)) {
            warn("malformed " + word + " command, ignored" + unreadable);
            return nullptr;
        }
        return (this->*quoted.run)(command);
    }

    const bool gpi = word[0] == 'G';
    const Driver driver = gpi ? Driver::Gpi : Driver::Info;
    if (word == "IR" || word == "GR") {
        const bool add =
            command.args.size() == 4 && command.args[3].quoted && command.args[3].text == "ADD";
        wellFormed = numberArgs(command, 0, 3, n) && (command.args.size() == 3 || add);
        if (wellFormed) facility_.registerSlots(*this, driver, n[0], n[1], n[2], !add);
    } else if (word == "IP" || word == "GP") {
        wellFormed = command.args.size() == 3 && numberArgs(command, 0, 3, n);
        if (wellFormed) facility_.poll(*this, driver, n[0], n[1], n[2]);
    } else if (word == "IU" || word == "GU") {
        wellFormed = command.args.size() == 1 && numberArgs(command, 0, 1, n);
        if (wellFormed) facility_.unregister(*this, driver, n[0]);
    } else if (word == "IW") {
        wellFormed = command.args.size() == 4 && numberArgs(command, 0, 1, n) &&
                     command.args[1].quoted && numberArgs(command, 2, 2, n);
        if (wellFormed) facility_.writeInfo(*this, n[0], n[1], command.args[1].text);
    } else if (word == "ET") {
        wellFormed = !command.args.empty() && command.args.size() <= 2 &&
                     numberArgs(command, 0, command.args.size(), n);
        if (wellFormed) timer(n[0], n.count == 2 ? n[1] : 0);
    } else if (word == "AS") {
        wellFormed = command.args.empty();
        if (wellFormed && !destroying_) endRequested_ = true;
    } else {
        warn("unknown command " + word + ", ignored");
        return nullptr;
    }
    if (!wellFormed) warn("malformed " + word + " command, ignored" + unreadable);
    return nullptr;
}

char* Connection::loadPanel(const HostCommand& command) {
    const std::string& id = command.args[0].text;
    const std::string& file = command.args[1].text;
    const bool folder = pathKind(file) == PathKind::Directory;
    std::shared_ptr<const LoadedLayout> loaded = folder ? nullptr : facility_.layouts().load(file);
    if (loaded == nullptr) {
        note("cannot open layout " + displayQuote(file) + (folder ? " (a folder)" : "") +
             ": no panel " + displayQuote(id));
        event(EventKind::Reply, "null");
        return nullptr;
    }
    for (const auto& warning : loaded->warnings) note("layout: " + warning);
    note("panel " + displayQuote(id) + " loaded with " +
         std::to_string(loaded->layout.controls.size()) + " controls");
    Panel& panel = panels_[id];
    panel.file = file;
    panel.shared = loaded;
    panel.layout = loaded->layout;
    if (FacilityObserver* observer = facility_.observer()) observer->structureChanged();
    event(EventKind::Reply, displayQuote(acknowledgement_));
    return acknowledgement_;
}

char* Connection::putText(const HostCommand& command) {
    const std::string& assignment = command.args[0].text;
    const std::string& panelId = command.args[1].text;
    const std::string& controlId = command.args[2].text;
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
        warn("TP without property=value, ignored");
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
    if (FacilityObserver* observer = facility_.observer()) {
        observer->controlChanged(*this, panelId, *control);
    }
    return nullptr;
}

char* Connection::getText(const HostCommand& command) {
    const std::string& panelId = command.args[0].text;
    const std::string& controlId = command.args[1].text;
    const std::string& property = command.args[2].text;
    auto panel = panels_.find(panelId);
    const Control* control =
        panel == panels_.end() ? nullptr : panel->second.layout.find(controlId);
    if (control == nullptr) {
        note("no control " + displayQuote(controlId) + " on panel " + displayQuote(panelId));
        event(EventKind::Reply, "null");
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

char* Connection::listControls(const HostCommand& command) {
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
        event(EventKind::Reply, "null");
        return nullptr;
    }
    return freshReply(reply, "XI");
}

char* Connection::lookUp(const HostCommand& command) {
    const auto& instances = facility_.environment().instances;
    const auto it = instances.find(command.args[0].text);
    if (it == instances.end()) {
        event(EventKind::Reply, "null");
        return nullptr;
    }
    return freshReply(std::to_string(it->second.device) + " " + std::to_string(it->second.offset),
                      "SD");
}

void Connection::timer(std::int32_t id, std::int32_t interval) {
    // "ET n" and "ET n 0" stop the timer.
    if (interval == 0) {
        facility_.timers().stop(number_, id);
        return;
    }
    if (interval < 0) {
        note("negative timer interval, ignored");
        return;
    }
    // Starting a running timer starts it afresh.
    facility_.timers().start(number_, id, interval, facility_.now());
}

}  // namespace vhost
