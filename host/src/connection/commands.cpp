// The host's side of every command a component sends.
#include <cstring>
#include <string_view>

#include "connection/connection.h"
#include "facility/facility.h"
#include "platform/platform.h"
#include "text/stored_text.h"

namespace vhost {

namespace {

// Up to four numbers of one command, without allocating.
struct Numbers {
    std::int32_t value[4] = {0, 0, 0, 0};
    std::size_t count = 0;
    std::int32_t operator[](std::size_t i) const { return value[i]; }
};

bool numberArgs(const CommandView& command, std::size_t first, std::size_t count, Numbers& out) {
    for (std::size_t i = first; i < first + count; ++i) {
        if (i >= command.count || command.args[i].quoted || out.count == 4) return false;
        const auto value = parseInt32(command.args[i].text());
        if (!value) return false;
        out.value[out.count++] = *value;
    }
    return true;
}

bool quotedArgs(const CommandView& command, std::size_t count) {
    if (command.count != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!command.args[i].quoted) return false;
    }
    return true;
}

std::string text(std::string_view view) { return std::string(view.data(), view.size()); }

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
    // Read in place: the words are views into the plug-in's text, which
    // stays put until this call returns. Only what is stored is copied.
    const std::string_view command(static_cast<const char*>(data));
    commands_.push(command);
    if (CommandTap* tap = facility_.commandTap()) tap->sent(*this, command);
    if (facility_.timeline().wanted()) event(EventKind::Command, text(command));
    if (!facility_.busy()) fault("command outside a call into the plug-in: " + text(command));
    return execute(command);
}

char* Connection::freshReply(const std::string& text, const std::string& command) {
    char* reply = new char[text.size() + 1];
    std::memcpy(reply, text.c_str(), text.size() + 1);
    liveReplies_[reply] = command;
    event(EventKind::Reply, displayQuote(text));
    return reply;
}

char* Connection::execute(std::string_view commandText) {
    // The two commands of every update, in their usual shape.
    InfoWriteView infoWrite;
    if (readInfoWrite(commandText, infoWrite)) {
        facility_.writeInfo(*this, infoWrite.device, infoWrite.slot, infoWrite.text);
        return nullptr;
    }
    TextPutView textPut;
    if (readTextPut(commandText, textPut)) {
        return putText(textPut.assignment, textPut.panel, textPut.control);
    }

    const char* error = nullptr;
    CommandView command;
    if (!readCommand(commandText, command, error)) {
        warn(std::string("malformed command (") + error + "), ignored" + unreadable);
        return nullptr;
    }
    const std::string_view word = command.word;
    Numbers n;

    // Dispatch on the two letters of the command word.
    const auto code = [](char a, char b) { return (static_cast<unsigned>(a) << 8) | b; };
    const unsigned which = word.size() == 2 ? code(word[0], word[1]) : 0;
    using Run = char* (Connection::*)(const CommandView&);
    Run quoted = nullptr;  // commands whose arguments are all quoted texts, and that may answer
    std::size_t fewest = 0;
    std::size_t most = 0;
    switch (which) {
        case code('P', 'S'): quoted = &Connection::loadPanel; fewest = 2; most = 3; break;
        case code('T', 'P'): quoted = &Connection::putTextCommand; fewest = most = 3; break;
        case code('T', 'G'): quoted = &Connection::getText; fewest = most = 3; break;
        case code('X', 'I'): quoted = &Connection::listControls; fewest = most = 2; break;
        case code('S', 'D'): quoted = &Connection::lookUp; fewest = most = 1; break;
        default: break;
    }
    if (quoted != nullptr) {
        const std::size_t count = command.count;
        if (count < fewest || count > most || !quotedArgs(command, count)) {
            warn("malformed " + text(word) + " command, ignored" + unreadable);
            return nullptr;
        }
        return (this->*quoted)(command);
    }

    const Driver driver = word[0] == 'G' ? Driver::Gpi : Driver::Info;
    const std::size_t count = command.count;
    bool wellFormed = true;
    switch (which) {
        case code('I', 'R'):
        case code('G', 'R'): {
            const bool add = count == 4 && command.args[3].quoted && command.args[3].text() == "ADD";
            wellFormed = numberArgs(command, 0, 3, n) && (count == 3 || add);
            if (wellFormed) facility_.registerSlots(*this, driver, n[0], n[1], n[2], !add);
            break;
        }
        case code('I', 'P'):
        case code('G', 'P'):
            wellFormed = count == 3 && numberArgs(command, 0, 3, n);
            if (wellFormed) facility_.poll(*this, driver, n[0], n[1], n[2]);
            break;
        case code('I', 'U'):
        case code('G', 'U'):
            wellFormed = count == 1 && numberArgs(command, 0, 1, n);
            if (wellFormed) facility_.unregister(*this, driver, n[0]);
            break;
        case code('I', 'W'):
            wellFormed = count == 4 && numberArgs(command, 0, 1, n) && command.args[1].quoted &&
                         numberArgs(command, 2, 2, n);
            if (wellFormed) facility_.writeInfo(*this, n[0], n[1], command.args[1].text());
            break;
        case code('E', 'T'):
            wellFormed = count >= 1 && count <= 2 && numberArgs(command, 0, count, n);
            if (wellFormed) timer(n[0], n.count == 2 ? n[1] : 0);
            break;
        case code('A', 'S'):
            wellFormed = count == 0;
            if (wellFormed && !destroying_) endRequested_ = true;
            break;
        default:
            warn("unknown command " + text(word) + ", ignored");
            return nullptr;
    }
    if (!wellFormed) warn("malformed " + text(word) + " command, ignored" + unreadable);
    return nullptr;
}

char* Connection::loadPanel(const CommandView& command) {
    const std::string id = text(command.args[0].text());
    const std::string file = text(command.args[1].text());
    const bool folder = pathKind(file) == PathKind::Directory;
    std::shared_ptr<const LoadedLayout> loaded = folder ? nullptr : facility_.layouts().load(file);
    if (loaded == nullptr) {
        // A real host would show no panel either: a warning, which --strict fails.
        warn("cannot open layout " + displayQuote(file) + (folder ? " (a folder)" : "") +
             ": no panel " + displayQuote(id));
        event(EventKind::Reply, "null");
        return nullptr;
    }
    for (const auto& warning : loaded->warnings) note("layout: " + warning);
    note("panel " + displayQuote(id) + " loaded with " +
         std::to_string(loaded->layout.controls.size()) + " controls");
    Panel& panel = panels_[id];
    forgetShownControl();  // the panel's controls are replaced
    panel.file = file;
    panel.shared = loaded;
    panel.layout = loaded->layout;
    if (FacilityObserver* observer = facility_.observer()) observer->structureChanged();
    event(EventKind::Reply, displayQuote(acknowledgement_));
    return acknowledgement_;
}

char* Connection::putTextCommand(const CommandView& command) {
    return putText(command.args[0].text(), command.args[1].text(), command.args[2].text());
}

char* Connection::putText(std::string_view assignment, std::string_view panelId,
                          std::string_view controlId) {
    std::size_t equals = 0;
    while (equals < assignment.size() && assignment[equals] != '=') ++equals;
    if (equals == assignment.size()) {
        warn("TP without property=value, ignored");
        return nullptr;
    }
    // A component sets the same control again and again: the last one
    // found is kept, and found again by comparing two short texts.
    if (shown_.control == nullptr || !sameText(panelId, shown_.panelId) ||
        !sameText(controlId, shown_.controlId)) {
        auto panel = panels_.find(text(panelId));
        if (panel == panels_.end()) {
            note("no panel " + displayQuote(text(panelId)));
            return nullptr;
        }
        Control* control = panel->second.layout.find(text(controlId));
        if (control == nullptr) {
            note("no control " + displayQuote(text(controlId)) + " on panel " +
                 displayQuote(text(panelId)));
            return nullptr;
        }
        shown_.panelId.assign(panelId.data(), panelId.size());
        shown_.controlId.assign(controlId.data(), controlId.size());
        shown_.id = control->id;
        shown_.panelKey = &panel->first;
        shown_.control = control;
        shown_.value = nullptr;
        shown_.text = control->property("text");
    }
    Control& control = *shown_.control;
    const std::string_view property = assignment.substr(0, equals);
    const std::string_view value = assignment.substr(equals + 1);
    // ...and so is the property it set last, so that a repeat reaches the
    // value without reading the control (in a large facility, a cache miss).
    if (shown_.value == nullptr || !sameText(property, shown_.property)) {
        auto entry = control.properties.begin();
        while (entry != control.properties.end() && !sameText(entry->first, property)) ++entry;
        if (entry == control.properties.end()) {
            control.properties.emplace_back(text(property), std::string());
            entry = control.properties.end() - 1;
            shown_.text = control.property("text");
        }
        shown_.property.assign(property.data(), property.size());
        shown_.value = &entry->second;  // the entries move only when one is added, here
    }
    storeText(*shown_.value, value);
    if (FacilityObserver* observer = facility_.observer()) {
        observer->controlChanged(*this, *shown_.panelKey, control, shown_.id, shown_.text);
    }
    return nullptr;
}

char* Connection::getText(const CommandView& command) {
    const std::string panelId = text(command.args[0].text());
    const std::string controlId = text(command.args[1].text());
    const std::string property = text(command.args[2].text());
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

char* Connection::listControls(const CommandView& command) {
    const std::string panelId = text(command.args[0].text());
    const std::string filter = text(command.args[1].text());
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

char* Connection::lookUp(const CommandView& command) {
    const auto& instances = facility_.environment().instances;
    const auto it = instances.find(text(command.args[0].text()));
    if (it == instances.end()) {
        event(EventKind::Reply, "null");
        return nullptr;
    }
    char* reply = freshReply(
        std::to_string(it->second.device) + " " + std::to_string(it->second.offset), "SD");
    facility_.instanceLookedUp(*this, it->first, it->second);
    return reply;
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
