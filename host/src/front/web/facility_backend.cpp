#include "front/web/facility_backend.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string_view>

#include "connection/connection.h"
#include "front/json_text.h"
#include "text/host_parsers.h"

namespace vhost {
namespace web {

namespace {

Outcome error(int status, const std::string& message) {
    Outcome outcome;
    outcome.status = status;
    outcome.body = {{"error", utf8Text(message)}};
    return outcome;
}

std::uint64_t slotKey(std::int32_t device, std::int32_t slot) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(device)) << 32 |
           static_cast<std::uint32_t>(slot);
}

// The controls the framework's alarm groups act on: ids starting "alm_"
// (ids match without regard to case).
bool isAlarmControl(const std::string& id) {
    return id.size() >= 4 && equalsIgnoreCase(std::string_view(id).substr(0, 4), "alm_");
}

std::uint64_t pointerKey(const void* pointer) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

template <typename ByDevice>
bool present(const ByDevice& byDevice, std::int32_t device, std::int32_t slot) {
    const auto found = byDevice.find(device);
    return found != byDevice.end() && found->second.count(slot) > 0;
}

}  // namespace

FacilityBackend::FacilityBackend(Timeline& timeline) : timeline_(timeline) {
    timeline_.addSink(this);
}

void FacilityBackend::attach(Facility& facility) {
    facility_ = &facility;
    facility_->setObserver(this);
}

FacilityBackend::~FacilityBackend() {
    timeline_.removeSink(this);
    if (facility_ != nullptr && facility_->observer() == this) facility_->setObserver(nullptr);
}

void FacilityBackend::setEventOutlet(EventOutlet* outlet) {
    if (recorder_ != nullptr) recorder_->writeDone();
    outlet_ = outlet;
    batch_.clear();
    flushAsked_ = false;
}

void FacilityBackend::Batch::clear() {
    gpi.clear();
    info.clear();
    written.clear();
    controls.clear();
    timeline.clear();
    timelineLeftOut = 0;
}

// Something changed: the batch is written once the work at hand is done.
void FacilityBackend::begun() {
    if (flushAsked_ || flushing_ || outlet_ == nullptr) return;
    flushAsked_ = true;
    outlet_->flushSoon();
}

void FacilityBackend::setRecorder(Recorder* recorder) {
    if (recorder_ != nullptr) {
        recorder_->writeDone();
        recorder_->setWriteLater(nullptr);
    }
    recorder_ = recorder;
    if (recorder_ == nullptr) return;
    recorder_->setWriteLater([this] {
        if (outlet_ == nullptr) return false;
        begun();
        return true;
    });
}

void FacilityBackend::flushEvents() {
    if (flushing_) return;
    if (recorder_ != nullptr) recorder_->writeDone();
    flushAsked_ = false;
    if (beforeFlush_) beforeFlush_();
    flushing_ = true;
    const std::uint64_t leftOut = timeline_.takeLeftOut();
    if (leftOut > 0) {
        timeline_.event(EventKind::Host,
                        std::to_string(leftOut) + " more event(s) of this burst not shown (a live run shows " +
                            std::to_string(routineEventsPerBatch) + " routine events per burst)");
    }
    if (gathering() && !batch_.empty()) publishBatch();
    batch_.clear();
    flushing_ = false;
}

// An event of its own: what was gathered before it goes first.
void FacilityBackend::publishNow(std::string event) {
    if (!gathering()) return;
    if (!batch_.empty()) publishBatch();
    outlet_->publish(std::move(event));
}

void FacilityBackend::publishEvent(const nlohmann::json& event) {
    if (!gathering()) return;
    publishNow(jsonText(event));
}

nlohmann::json FacilityBackend::timelineJson(const TimelineRecord& record) {
    nlohmann::json line = {{"type", "timeline"},
                           {"time_ms", record.time},
                           {"kind", kindName(record.kind)},
                           {"text", utf8Text(record.text)}};
    if (!record.component.empty()) line["component"] = utf8Text(record.component);
    if (record.line > 0) line["line"] = record.line;
    return line;
}

namespace {

void appendField(std::string& out, std::int32_t number) { appendJsonNumber(out, number); }
void appendField(std::string& out, std::int64_t number) { appendJsonNumber(out, number); }
void appendField(std::string& out, const std::string& text) { appendJsonString(out, text); }
void appendField(std::string& out, bool flag) { out += flag ? "true" : "false"; }

// `[a,b,...]`: one entry of a batch's lists.
template <typename First, typename... Rest>
void appendRow(std::string& out, const First& first, const Rest&... rest) {
    out += '[';
    appendField(out, first);
    ((out += ',', appendField(out, rest)), ...);
    out += ']';
}

void appendTimeline(std::string& out, std::int64_t time, EventKind kind, int line,
                    const std::string& text, const std::string& component) {
    out += "{\"type\":\"timeline\",\"time_ms\":";
    appendJsonNumber(out, time);
    out += ",\"kind\":\"";
    out += kindName(kind);
    out += "\",\"text\":";
    appendJsonString(out, text);
    if (!component.empty()) {
        out += ",\"component\":";
        appendJsonString(out, component);
    }
    if (line > 0) {
        out += ",\"line\":";
        appendJsonNumber(out, line);
    }
    out += '}';
}

}  // namespace

void FacilityBackend::publishBatch() {
    batch_.gpi.keepLast();
    batch_.info.keepLast();
    batch_.written.keepLast();
    batch_.controls.keepLast();
    const std::uint32_t parts = placeInParts();
    for (std::uint32_t part = 0; part < parts; ++part) {
        std::string out;
        writeBatch(out, part, parts);
        outlet_->publish(std::move(out));
    }
    batch_.clear();
}

// Components in the order the batch first names them, a part for each
// `componentsPerBatchPart` of them; a slot goes with the component that
// wrote it, so that no part shows a tally and not the slot it landed in.
std::uint32_t FacilityBackend::placeInParts() {
    partOf_.assign(facility_->components().size(), noPart);
    std::size_t placed = 0;
    const auto place = [&](const Connection& component) {
        std::uint32_t& part = partOf_[component.number()];
        if (part == noPart) part = static_cast<std::uint32_t>(placed++ / componentsPerBatchPart);
    };
    for (const Batch::Written& written : batch_.written) place(*written.writer);
    for (const Batch::ControlText& control : batch_.controls) place(*control.component);
    const auto parts = static_cast<std::uint32_t>(
        std::max<std::size_t>(1, (placed + componentsPerBatchPart - 1) / componentsPerBatchPart));
    partOfSlot_.clear();
    infoPart_.clear();
    writtenPart_.clear();
    controlPart_.clear();
    if (parts > 1) {
        for (const Batch::Written& written : batch_.written) {
            const TallyWrite& write = *writtenBy_[written.writer->number()];
            const std::uint32_t part = partOf_[written.writer->number()];
            partOfSlot_[slotKey(write.device, write.slot)] = part;
            writtenPart_.push_back(part);
        }
        for (const Batch::ControlText& control : batch_.controls) {
            controlPart_.push_back(partOf_[control.component->number()]);
        }
        // A slot no component of the batch wrote goes in the last part.
        for (const Batch::Info& info : batch_.info) {
            const auto found = partOfSlot_.find(slotKey(info.device, info.slot));
            infoPart_.push_back(found != partOfSlot_.end() ? found->second : parts - 1);
        }
    }
    return parts;
}

// Part `part` of `parts` of the batch as one JSON object, written straight
// into `out`. The inputs, the slots no component of the batch wrote and the
// timeline come in the last part.
void FacilityBackend::writeBatch(std::string& out, std::uint32_t part, std::uint32_t parts) {
    const RoutingIndex& routing = facility_->routing();
    const bool last = part + 1 == parts;
    // Whether an entry of `entries` is in this part, by its place in `partOf`.
    const auto inPart = [parts, part](const auto& entries, const std::vector<std::uint32_t>& partOf) {
        return [parts, part, &entries, &partOf](const auto& entry) {
            return parts == 1 || partOf[static_cast<std::size_t>(&entry - entries.begin())] == part;
        };
    };
    out.reserve(64 + (batch_.gpi.size() * 24 + batch_.info.size() * 32 +
                      batch_.written.size() * 40 + batch_.controls.size() * 40 +
                      batch_.timeline.size() * 96) / parts);
    out += "{\"type\":\"batch\",\"time_ms\":";
    appendJsonNumber(out, facility_->now());
    // `"name":[...]`, one entry a row written by `write`, of the entries
    // `wanted` takes; nothing when none is taken.
    const auto list = [&out](const char* name, const auto& entries, const auto& wanted,
                             const auto& write) {
        bool first = true;
        for (const auto& entry : entries) {
            if (!wanted(entry)) continue;
            if (first) {
                out += ",\"";
                out += name;
                out += "\":[";
                first = false;
            } else {
                out += ',';
            }
            write(entry);
        }
        if (!first) out += ']';
    };
    const auto inLast = [last](const auto&) { return last; };
    list("gpi", batch_.gpi, inLast, [&](const Batch::Gpi& gpi) {
        appendRow(out, gpi.device, gpi.input, gpi.state,
                  routing.registered(Driver::Gpi, gpi.device, gpi.input));
    });
    list("info", batch_.info, inPart(batch_.info, infoPart_), [&](const Batch::Info& info) {
        appendRow(out, info.device, info.slot, info.text,
                  routing.registered(Driver::Info, info.device, info.slot));
    });
    list("written", batch_.written, inPart(batch_.written, writtenPart_),
         [&](const Batch::Written& written) {
        const TallyWrite& write = *writtenBy_[written.writer->number()];
        appendRow(out, written.writer->name(), write.device, write.slot, write.text, write.timeMs);
    });
    list("controls", batch_.controls, inPart(batch_.controls, controlPart_),
         [&](const Batch::ControlText& control) {
        const std::string& component = control.component->name();
        if (control.alarm) {
            appendRow(out, component, control.panel, control.control, control.text, control.level,
                      control.action);
        } else {
            appendRow(out, component, control.panel, control.control, control.text);
        }
    });
    list("timeline", batch_.timeline, inLast, [&](const TimelineRecord& record) {
        appendTimeline(out, record.time, record.kind, record.line, record.text, record.component);
    });
    if (last && batch_.timelineLeftOut > 0) {
        out += ",\"timeline_left_out\":";
        appendJsonNumber(out, static_cast<std::int64_t>(batch_.timelineLeftOut));
    }
    out += '}';
}

namespace {

// A JSON object whose members write their own values, printed as a JSON
// tree prints one: compact, its keys in order.
using Members = std::map<std::string, std::function<void(std::string&)>>;

void appendObject(std::string& out, const Members& members) {
    out += '{';
    for (const auto& member : members) {
        if (out.back() != '{') out += ',';
        appendJsonString(out, member.first);
        out += ':';
        member.second(out);
    }
    out += '}';
}

// `lead` is what comes before a key's name and the name ("{\"id",
// ",\"label"); the key's closing quote and colon follow.
void appendKey(std::string& out, const char* lead) {
    out += lead;
    out += "\":";
}

// {"id":..,"label":..,"properties":{..},"text":..}: the keys in the order
// a JSON tree prints them, and a property set twice under one name (once
// mapped to UTF-8) holds its last value, as in a tree.
void appendControl(std::string& out, const Control& control) {
    std::map<std::string, std::string_view> properties;
    for (const auto& entry : control.properties) properties[utf8Text(entry.first)] = entry.second;
    const std::string* label = control.property("label");
    const std::string* text = control.property("text");
    appendKey(out, "{\"id");
    appendJsonString(out, control.id);
    appendKey(out, ",\"label");
    appendJsonString(out, label != nullptr ? *label : control.id);
    appendKey(out, ",\"properties");
    out += '{';
    for (const auto& property : properties) {
        if (out.back() != '{') out += ',';
        appendJsonString(out, property.first);
        out += ':';
        appendJsonString(out, property.second);
    }
    appendKey(out, "},\"text");
    appendJsonString(out, text != nullptr ? *text : std::string_view());
    out += '}';
}

}  // namespace

// Written straight as text: at ten thousand components the snapshot is
// some ten megabytes, and a tree of it took the facility's thread over a
// second every time a page opened.
std::string FacilityBackend::snapshot(const std::map<std::string, std::string>& more) {
    Members members;
    members["components"] = [this](std::string& out) { appendComponents(out); };
    const Environment& env = facility_->environment();
    const RoutingIndex& routing = facility_->routing();
    members["gpi"] = [&](std::string& out) {
        out += '[';
        for (const auto& device : env.gpi) {
            for (const auto& input : device.second) {
                if (out.back() != '[') out += ',';
                appendKey(out, "{\"device");
                appendJsonNumber(out, device.first);
                appendKey(out, ",\"input");
                appendJsonNumber(out, input.first);
                appendKey(out, ",\"registered");
                out += routing.registered(Driver::Gpi, device.first, input.first) ? "true" : "false";
                appendKey(out, ",\"state");
                appendJsonNumber(out, input.second);
                out += '}';
            }
        }
        out += ']';
    };
    members["info"] = [&](std::string& out) {
        out += '[';
        for (const auto& device : env.info) {
            for (const auto& slot : device.second) {
                if (out.back() != '[') out += ',';
                appendKey(out, "{\"device");
                appendJsonNumber(out, device.first);
                appendKey(out, ",\"registered");
                out += routing.registered(Driver::Info, device.first, slot.first) ? "true" : "false";
                appendKey(out, ",\"slot");
                appendJsonNumber(out, slot.first);
                appendKey(out, ",\"text");
                appendJsonString(out, slot.second);
                out += '}';
            }
        }
        out += ']';
    };
    const auto text = [&members](const std::string& key, std::string value) {
        members[key] = [value = std::move(value)](std::string& out) { out += value; };
    };
    nlohmann::json timeline = nlohmann::json::array();
    for (const auto& record : recent_) timeline.push_back(timelineJson(record));
    text("time_ms", std::to_string(facility_->now()));
    text("timeline", jsonText(timeline));
    text("timeline_dropped", std::to_string(dropped_));
    text("warnings", jsonText(timeline_.warnings()));
    for (const auto& part : parts_) text(part.first, jsonText(part.second()));
    if (recorder_ != nullptr) {
        text("recording", jsonText({{"on", recorder_->recording()}, {"file", utf8Text(recorder_->file())}}));
    }
    for (const auto& member : more) text(member.first, member.second);
    std::string out;
    out.reserve(snapshotSize_ + snapshotSize_ / 8);
    appendObject(out, members);
    snapshotSize_ = out.size();
    return out;
}

// [{"alive":..,"name":..,"panels":[..],"plugin":..,"tally":..,"warnings":[..]},..]
void FacilityBackend::appendComponents(std::string& out) const {
    out += '[';
    for (const auto& component : facility_->components()) {
        if (out.back() != '[') out += ',';
        appendKey(out, "{\"alive");
        out += component->alive() ? "true" : "false";
        appendKey(out, ",\"name");
        appendJsonString(out, component->name());
        appendKey(out, ",\"panels");
        out += '[';
        for (const auto& panel : component->panels()) {
            if (out.back() != '[') out += ',';
            appendKey(out, "{\"controls");
            out += '[';
            for (const Control& control : panel.second.layout.controls) {
                if (out.back() != '[') out += ',';
                appendControl(out, control);
            }
            appendKey(out, "],\"file");
            appendJsonString(out, panel.second.file);
            appendKey(out, ",\"id");
            appendJsonString(out, panel.first);
            out += '}';
        }
        appendKey(out, "],\"plugin");
        appendJsonString(out, component->plugin());
        appendKey(out, ",\"tally");
        const TallyWrite* write = tallyWriteOf(*component);
        if (write == nullptr) {
            out += "null";
        } else {
            appendKey(out, "{\"device");
            appendJsonNumber(out, write->device);
            appendKey(out, ",\"slot");
            appendJsonNumber(out, write->slot);
            appendKey(out, ",\"text");
            appendJsonString(out, write->text);
            appendKey(out, ",\"time_ms");
            appendJsonNumber(out, write->timeMs);
            out += '}';
        }
        appendKey(out, ",\"warnings");
        out += '[';
        const auto warnings = componentWarnings_.find(component->name());
        if (warnings != componentWarnings_.end()) {
            for (const auto& warning : warnings->second) {
                if (out.back() != '[') out += ',';
                out += jsonText(warning);
            }
        }
        out += "]}";
    }
    out += ']';
}

std::optional<std::size_t> FacilityBackend::recording(std::size_t offset, std::size_t max,
                                                      std::string& piece) {
    piece.clear();
    if (recorder_ == nullptr) return std::nullopt;
    recorder_->writeDone();  // a download holds every action that has ended
    piece = recorder_->read(offset, max);
    return recorder_->size();
}

Outcome FacilityBackend::setRecording(bool on) {
    if (recorder_ == nullptr) return LiveBackend::setRecording(on);
    recorder_->setRecording(on);
    Outcome outcome;
    outcome.body = {{"on", recorder_->recording()}};
    // Every page's switch follows, not only the one that was clicked.
    publishEvent({{"type", "recording"}, {"on", recorder_->recording()},
                  {"file", utf8Text(recorder_->file())}});
    return outcome;
}

Outcome FacilityBackend::lampTest(std::int32_t seconds) {
    if (seconds < 1 || seconds > maxLampTestSeconds) {
        return error(400, "a lamp test lasts 1 to " + std::to_string(maxLampTestSeconds) + " s");
    }
    publishEvent({{"type", "lamp_test"}, {"seconds", seconds}});
    Outcome outcome;
    outcome.body = {{"ok", true}};
    return outcome;
}

void FacilityBackend::addPart(const std::string& key, std::function<nlohmann::json()> state) {
    parts_.emplace_back(key, std::move(state));
}

// Where the component's tally landed last; null when it wrote none.
const FacilityBackend::TallyWrite* FacilityBackend::tallyWriteOf(const Connection& component) const {
    if (component.number() < writtenBy_.size() && writtenBy_[component.number()]) {
        return &*writtenBy_[component.number()];
    }
    const auto before = writtenBefore_.find(component.name());
    return before != writtenBefore_.end() ? &before->second : nullptr;
}

// Writes made before the page was attached (by the scenario that ran
// first) are known from their timeline line, "info 12.20 = \"1\"" naming
// the writer; later ones the facility reports as they happen.
void FacilityBackend::noteWrite(const Event& event) {
    static const std::string prefix = "info ";
    if (event.text.compare(0, prefix.size(), prefix) != 0) return;
    const auto dot = event.text.find('.', prefix.size());
    const auto equals = event.text.find(" = ", prefix.size());
    if (dot == std::string::npos || equals == std::string::npos || dot > equals) return;
    const auto device = parseInt32(event.text.substr(prefix.size(), dot - prefix.size()));
    const auto slot = parseInt32(event.text.substr(dot + 1, equals - dot - 1));
    if (!device || !slot) return;
    std::string error;
    const auto text = parseValue(event.text.substr(equals + 3), error);
    writtenBefore_[event.component] = TallyWrite{*device, *slot, text ? *text : std::string(), event.time};
}

Connection* FacilityBackend::find(const std::string& name, Outcome& outcome) {
    Connection* component = facility_->component(name);
    if (component == nullptr) {
        outcome = error(404, "no component named \"" + name + "\"");
    } else if (!component->alive()) {
        outcome = error(409, "component \"" + name + "\" was destroyed");
        component = nullptr;
    }
    return component;
}

bool FacilityBackend::roomFor(Driver driver, bool known, const Key& key, std::set<Key>& forced,
                              Outcome& refusal) {
    if (known || facility_->routing().registered(driver, key.first, key.second)) return true;
    if (forced.size() >= maxForcedUnknown) {
        refusal = error(409, std::string("no component registered ") +
                                 (driver == Driver::Gpi ? "GPI input " : "info slot ") +
                                 std::to_string(key.first) + "." + std::to_string(key.second) +
                                 ", and " + std::to_string(maxForcedUnknown) +
                                 " such are already forced: force one that exists");
        return false;
    }
    forced.insert(key);
    return true;
}

Outcome FacilityBackend::forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) {
    Outcome outcome;
    if (!roomFor(Driver::Gpi, present(facility_->environment().gpi, device, input), {device, input},
                 forcedGpi_, outcome)) {
        return outcome;
    }
    Recorder::Action recorded(recorder_, "", Recorder::gpiStep(device, input, state));
    facility_->forceGpi(device, input, state);
    outcome.body = {{"ok", true}};
    return outcome;
}

Outcome FacilityBackend::forceInfo(std::int32_t device, std::int32_t slot,
                                   const std::string& text) {
    Outcome outcome;
    if (!roomFor(Driver::Info, present(facility_->environment().info, device, slot), {device, slot},
                 forcedInfo_, outcome)) {
        return outcome;
    }
    Recorder::Action recorded(recorder_, "", Recorder::infoStep(device, slot, text));
    recorded.forcedSlot(device, slot, text);
    facility_->forceInfo(device, slot, text);
    outcome.body = {{"ok", true}};
    return outcome;
}

Outcome FacilityBackend::parentRequest(const std::string& name, const std::string& key) {
    Outcome outcome;
    Connection* component = find(name, outcome);
    if (component == nullptr) return outcome;
    Recorder::Action recorded(recorder_, name, Recorder::paramStep(key));
    const auto reply = component->parentRequest(key);
    recorded.reply(reply);
    outcome.body = {{"reply", reply ? nlohmann::json(utf8Text(*reply)) : nlohmann::json()}};
    return outcome;
}

Outcome FacilityBackend::controlEvent(const std::string& name, const std::string& control,
                                      const std::string& key) {
    Outcome outcome;
    Connection* component = find(name, outcome);
    if (component == nullptr) return outcome;
    if (component->findControl(control) == nullptr) {
        return error(404, "component \"" + name + "\" has no control \"" + control +
                              "\" on its panels");
    }
    Recorder::Action recorded(recorder_, name, Recorder::eventStep(control, key));
    component->controlEvent(control, key);
    outcome.body = {{"ok", true}};
    return outcome;
}

void FacilityBackend::advanceTo(std::int64_t ms) {
    if (ms > facility_->now()) facility_->advance(ms - facility_->now());
}

void FacilityBackend::controlChanged(const Connection& component, const std::string& panel,
                                     const Control& control, const std::string& id,
                                     const std::string* text) {
    if (recorder_ != nullptr) {
        recorder_->controlChanged(pointerKey(&control), component, id,
                                  text != nullptr ? *text : "");
    }
    if (!gathering()) return;
    Batch::ControlText& entry = batch_.controls.add(pointerKey(&control));
    entry.component = &component;
    entry.panel = panel;
    entry.control = id;
    if (text != nullptr) {
        entry.text = *text;
    } else {
        entry.text.clear();
    }
    // Alarm controls: their level ("value") and last action ("alarm") are
    // what the page shows of them.
    entry.alarm = isAlarmControl(id);
    if (entry.alarm) {
        const std::string* level = control.property("value");
        const std::string* action = control.property("alarm");
        entry.level = level != nullptr ? *level : std::string();
        entry.action = action != nullptr ? *action : std::string();
    }
    begun();
}

void FacilityBackend::slotChanged(std::int32_t device, std::int32_t slot,
                                  const std::string& text) {
    if (recorder_ != nullptr) recorder_->slotChanged(device, slot, text);
    if (!gathering()) return;
    Batch::Info& entry = batch_.info.add(slotKey(device, slot));
    entry.device = device;
    entry.slot = slot;
    entry.text = text;
    begun();
}

void FacilityBackend::infoWritten(const Connection& writer, std::int32_t device, std::int32_t slot,
                                  const std::string& text) {
    if (writtenBy_.size() <= writer.number()) writtenBy_.resize(writer.number() + 1);
    if (!writtenBy_[writer.number()]) writtenBy_[writer.number()].emplace();
    TallyWrite& write = *writtenBy_[writer.number()];
    write.device = device;
    write.slot = slot;
    write.text = text;
    write.timeMs = facility_->now();
    if (!gathering()) return;
    batch_.written.add(pointerKey(&writer)).writer = &writer;
    begun();
}

void FacilityBackend::gpiChanged(std::int32_t device, std::int32_t input, std::int32_t state) {
    if (!gathering()) return;
    Batch::Gpi& entry = batch_.gpi.add(slotKey(device, input));
    entry.device = device;
    entry.input = input;
    entry.state = state;
    begun();
}

void FacilityBackend::structureChanged() { publishNow("{\"type\":\"components\"}"); }

void FacilityBackend::event(const Event& event) {
    if (facility_ == nullptr && event.kind == EventKind::Host && !event.component.empty()) {
        noteWrite(event);
    }
    if (event.kind == EventKind::Warning && !event.component.empty()) {
        auto& warnings = componentWarnings_[event.component];
        if (warnings.size() == keptWarningsPerComponent) warnings.pop_front();
        warnings.push_back({{"time_ms", event.time}, {"text", utf8Text(event.text)}});
    }
    if (recent_.size() == keptEvents) {
        recent_.pop_front();
        ++dropped_;
    }
    recent_.push_back(TimelineRecord{event.time, event.kind, event.line, event.text, event.component});
    if (!gathering()) return begun();
    if (batch_.timeline.size() < batchTimelineMax) {
        batch_.timeline.push_back(recent_.back());
    } else {
        ++batch_.timelineLeftOut;
    }
    begun();
}

}  // namespace web
}  // namespace vhost
