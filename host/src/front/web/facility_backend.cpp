#include "front/web/facility_backend.h"

#include "connection/connection.h"
#include "front/json_text.h"
#include "host_parsers.h"

namespace vhost {
namespace web {

namespace {

nlohmann::json controlJson(const Control& control) {
    nlohmann::json properties = nlohmann::json::object();
    for (const auto& entry : control.properties) {
        properties[utf8Text(entry.first)] = utf8Text(entry.second);
    }
    const std::string* label = control.property("label");
    const std::string* text = control.property("text");
    return {{"id", utf8Text(control.id)},
            {"label", utf8Text(label != nullptr ? *label : control.id)},
            {"text", text != nullptr ? utf8Text(*text) : std::string()},
            {"properties", properties}};
}

Outcome error(int status, const std::string& message) {
    Outcome outcome;
    outcome.status = status;
    outcome.body = {{"error", utf8Text(message)}};
    return outcome;
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

void FacilityBackend::setEventSink(std::function<void(const nlohmann::json&)> sink) {
    sink_ = std::move(sink);
}

void FacilityBackend::publish(const nlohmann::json& event) {
    if (sink_) sink_(event);
}

nlohmann::json FacilityBackend::snapshot() {
    nlohmann::json components = nlohmann::json::array();
    for (const auto& component : facility_->components()) {
        nlohmann::json panels = nlohmann::json::array();
        for (const auto& panel : component->panels()) {
            nlohmann::json controls = nlohmann::json::array();
            for (const Control& control : panel.second.layout.controls) {
                controls.push_back(controlJson(control));
            }
            panels.push_back({{"id", utf8Text(panel.first)},
                              {"file", utf8Text(panel.second.file)},
                              {"controls", controls}});
        }
        nlohmann::json entry = {{"name", utf8Text(component->name())},
                                {"plugin", utf8Text(component->plugin())},
                                {"alive", component->alive()},
                                {"panels", panels}};
        entry.update(componentFacts(component->name()));
        components.push_back(std::move(entry));
    }
    const Environment& env = facility_->environment();
    const RoutingIndex& routing = facility_->routing();
    nlohmann::json gpi = nlohmann::json::array();
    for (const auto& device : env.gpi) {
        for (const auto& input : device.second) {
            gpi.push_back({{"device", device.first},
                           {"input", input.first},
                           {"state", input.second},
                           {"registered", routing.registered(Driver::Gpi, device.first,
                                                              input.first)}});
        }
    }
    nlohmann::json info = nlohmann::json::array();
    for (const auto& device : env.info) {
        for (const auto& slot : device.second) {
            info.push_back({{"device", device.first},
                            {"slot", slot.first},
                            {"text", utf8Text(slot.second)},
                            {"registered", routing.registered(Driver::Info, device.first,
                                                               slot.first)}});
        }
    }
    nlohmann::json timeline = nlohmann::json::array();
    for (const auto& event : recent_) timeline.push_back(event);
    nlohmann::json state = {{"time_ms", facility_->now()}, {"components", components},
                            {"gpi", gpi}, {"info", info}, {"timeline", timeline},
                            {"timeline_dropped", dropped_}, {"warnings", timeline_.warnings()}};
    for (const auto& part : parts_) state[part.first] = part.second();
    if (recorder_ != nullptr) {
        state["recording"] = {{"on", recorder_->recording()},
                              {"file", utf8Text(recorder_->file())}};
    }
    return state;
}

std::optional<std::size_t> FacilityBackend::recording(std::size_t offset, std::size_t max,
                                                      std::string& piece) {
    piece.clear();
    if (recorder_ == nullptr) return std::nullopt;
    piece = recorder_->read(offset, max);
    return recorder_->size();
}

Outcome FacilityBackend::setRecording(bool on) {
    if (recorder_ == nullptr) return LiveBackend::setRecording(on);
    recorder_->setRecording(on);
    Outcome outcome;
    outcome.body = {{"on", recorder_->recording()}};
    return outcome;
}

void FacilityBackend::addPart(const std::string& key, std::function<nlohmann::json()> state) {
    parts_.emplace_back(key, std::move(state));
}

// What the page shows on a card beside the panel: where the tally landed,
// and the warnings about this component.
nlohmann::json FacilityBackend::componentFacts(const std::string& name) const {
    nlohmann::json facts = {{"tally", nullptr}, {"warnings", nlohmann::json::array()}};
    const auto write = written_.find(name);
    if (write != written_.end()) {
        facts["tally"] = {{"device", write->second.device},
                          {"slot", write->second.slot},
                          {"text", utf8Text(write->second.text)},
                          {"time_ms", write->second.timeMs}};
    }
    const auto warnings = componentWarnings_.find(name);
    if (warnings != componentWarnings_.end()) {
        for (const auto& warning : warnings->second) facts["warnings"].push_back(warning);
    }
    return facts;
}

nlohmann::json FacilityBackend::writtenEvent(const std::string& component, const TallyWrite& write) {
    return {{"type", "written"},        {"component", utf8Text(component)},
            {"device", write.device},    {"slot", write.slot},
            {"text", utf8Text(write.text)}, {"time_ms", write.timeMs}};
}

// A component's write reaches the timeline as "info 12.20 = \"1\"" naming
// it; the slot change that follows (once a page listens) has the raw text.
// Writes made before the page was attached are known from the line alone.
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
    written_[event.component] = TallyWrite{*device, *slot, text ? *text : std::string(), event.time};
    writer_ = event.component;
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
                                     const Control& control) {
    const std::string* text = control.property("text");
    if (recorder_ != nullptr) {
        recorder_->controlChanged(component.name(), control.id, text != nullptr ? *text : "");
    }
    if (!sink_) return;
    publish({{"type", "control"},
             {"component", utf8Text(component.name())},
             {"panel", utf8Text(panel)},
             {"control", utf8Text(control.id)},
             {"property", "text"},
             {"value", text != nullptr ? utf8Text(*text) : std::string()}});
}

void FacilityBackend::slotChanged(std::int32_t device, std::int32_t slot,
                                  const std::string& text) {
    if (recorder_ != nullptr) recorder_->slotChanged(device, slot, text);
    // The slot change that follows a component's write gives its exact text.
    if (!writer_.empty()) {
        const std::string writer = std::move(writer_);
        writer_.clear();
        auto write = written_.find(writer);
        if (write != written_.end() && write->second.device == device &&
            write->second.slot == slot) {
            write->second.text = text;
            if (sink_) publish(writtenEvent(writer, write->second));
        }
    }
    if (!sink_) return;
    publish({{"type", "slot"},
             {"device", device},
             {"slot", slot},
             {"text", utf8Text(text)},
             {"registered", facility_->routing().registered(Driver::Info, device, slot)}});
}

void FacilityBackend::gpiChanged(std::int32_t device, std::int32_t input, std::int32_t state) {
    if (!sink_) return;
    publish({{"type", "gpi"},
             {"device", device},
             {"input", input},
             {"state", state},
             {"registered", facility_->routing().registered(Driver::Gpi, device, input)}});
}

void FacilityBackend::structureChanged() { publish({{"type", "components"}}); }

void FacilityBackend::event(const Event& event) {
    nlohmann::json line = {{"type", "timeline"},
                           {"time_ms", event.time},
                           {"kind", kindName(event.kind)},
                           {"text", utf8Text(event.text)}};
    if (!event.component.empty()) line["component"] = utf8Text(event.component);
    if (event.kind == EventKind::Host && !event.component.empty()) noteWrite(event);
    if (event.kind == EventKind::Warning && !event.component.empty()) {
        auto& warnings = componentWarnings_[event.component];
        if (warnings.size() == keptWarningsPerComponent) warnings.pop_front();
        warnings.push_back({{"time_ms", event.time}, {"text", utf8Text(event.text)}});
    }
    if (event.line > 0) line["line"] = event.line;
    if (recent_.size() == keptEvents) {
        recent_.pop_front();
        ++dropped_;
    }
    recent_.push_back(line);
    publish(line);
}

}  // namespace web
}  // namespace vhost
