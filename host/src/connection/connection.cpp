#include "connection/connection.h"

#include <cstring>
#include <utility>

#include "facility/facility.h"

namespace vhost {

char Connection::acknowledgement_[] = "OK";

Connection::Connection(Facility& facility, std::size_t number, std::string name,
                       vesk_factory_fn factory, std::string panelPath, std::string plugin)
    : facility_(facility),
      number_(number),
      name_(std::move(name)),
      factory_(factory),
      panelPath_(std::move(panelPath)),
      plugin_(std::move(plugin)) {}

Connection::~Connection() {
    for (auto& entry : liveReplies_) delete[] entry.first;
}

void Connection::event(EventKind kind, const std::string& text) {
    facility_.timeline().event(kind, text, 0, name_);
}
void Connection::note(const std::string& text) { event(EventKind::Host, text); }
void Connection::warn(const std::string& text) {
    event(EventKind::Warning, text);
}
void Connection::fault(const std::string& text) {
    event(EventKind::Failure, text);
}

template <typename Call>
void Connection::call(Call&& call) {
    facility_.callPlugin(*this, std::forward<Call>(call));
}

bool Connection::create() {
    if (alive()) {
        note("a component is already running");
        return true;
    }
    if (factory_ == nullptr) return false;
    ++life_;
    endRequested_ = false;
    event(EventKind::Notify,
          "create component, panel folder " + displayQuote(panelPath_));
    std::unique_ptr<PluginObject> created;
    call([&] { created = PluginObject::create(factory_, *this, panelPath_.c_str()); });
    object_ = std::move(created);
    if (!alive()) return false;
    if (FacilityObserver* observer = facility_.observer()) observer->structureChanged();
    if (endRequested_) {
        note("the component asked to end (AS) while it was created: destroying it");
        destroy();
        return true;
    }
    facility_.pump();
    return true;
}

void Connection::destroy() {
    if (!alive()) return;
    event(EventKind::Notify, "destroy component");
    destroying_ = true;
    std::unique_ptr<PluginObject> ending = std::move(object_);
    call([&] { ending.reset(); });
    destroying_ = false;
    endRequested_ = false;
    // Whatever the component had running or showing ends with it.
    facility_.forget(*this);
    forgetShownControl();
    panels_.clear();
    if (FacilityObserver* observer = facility_.observer()) observer->structureChanged();
}

bool Connection::endIfRequested() {
    if (!endRequested_ || destroying_ || !alive()) return false;
    note("the component asked to end (AS): destroying it");
    destroy();
    return true;
}

std::optional<std::string> Connection::parentRequest(const std::string& request) {
    if (!alive()) return std::nullopt;
    // The plug-in reads a C string: what it receives ends at a NUL.
    const std::string key = request.substr(0, request.find('\0'));
    if (key.size() != request.size()) event(EventKind::Host, "parameter cut at its NUL character");
    event(EventKind::Notify, "param " + key);
    std::vector<char> text(key.begin(), key.end());
    text.push_back('\0');
    char* reply = nullptr;
    call([&] { reply = object_->notify(text.data(), VESK_NOTIFY_PARENT_REQUEST); });
    std::optional<std::string> result;
    if (reply != nullptr) {
        result = std::string(reply);
        event(EventKind::Reply, displayQuote(*result));
        // The reply is the component's: copied, then handed back, also when
        // the component asked to end in the same call.
        call([&] { object_->notify(reply, VESK_NOTIFY_RELEASE); });
    }
    endIfRequested();
    facility_.pump();
    return result;
}

void Connection::controlEvent(const std::string& control, const std::string& key) {
    if (!alive()) return;
    event(EventKind::Notify, "event " + control + " " + key);
    const DecodedKey decoded(key);
    controlEventRecord record{};
    record.id = control.c_str();
    record.key = decoded.record();
    call([&] { object_->notify(&record, VESK_NOTIFY_CONTROL_EVENT); });
    endIfRequested();
    facility_.pump();
}

void Connection::timerTick(std::int32_t id) {
    if (!alive()) return;
    if (facility_.timeline().wanted()) {
        event(EventKind::Notify, "timer " + std::to_string(id));
    }
    call([&] {
        object_->notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)), VESK_NOTIFY_TIMER);
    });
    endIfRequested();
}

void Connection::deliver(Driver driver, std::int32_t device, std::int32_t index,
                         std::int32_t state, std::string_view text) {
    if (!alive()) return;
    driverUpdateRecord record;
    record.device = device;
    record.reserved = 0;
    record.index = index;
    record.state = state;
    const std::size_t length =
        text.size() < VESK_DRIVER_TEXT_CAPACITY ? text.size() : VESK_DRIVER_TEXT_CAPACITY - 1;
    // Cleared whole, a fixed size the compiler writes in a few wide stores.
    std::memset(record.text, 0, sizeof record.text);
    std::memcpy(record.text, text.data(), length);
    if (facility_.timeline().wanted()) {
        if (text.size() >= VESK_DRIVER_TEXT_CAPACITY) {
            note("info text cut to " + std::to_string(VESK_DRIVER_TEXT_CAPACITY - 1) +
                 " characters for the update record");
        }
        const bool gpi = driver == Driver::Gpi;
        event(EventKind::Notify,
              std::string("update ") + (gpi ? "gpi " : "info ") + std::to_string(device) + "." +
                  std::to_string(index) +
                  (gpi ? " state=" + std::to_string(state) : " text=" + displayQuote(std::string(text))));
    }
    ++delivered_;
    call([&] { object_->notify(&record, VESK_NOTIFY_DRIVER_UPDATE); });
    endIfRequested();
}

void Connection::takeDiagnostics(const std::string& message) {
    diagnostics_.push(message);
    event(EventKind::Diagnostic, message);
}

// ---- state ----------------------------------------------------------------

const Control* Connection::findControl(const std::string& id) const {
    for (const auto& panel : panels_) {
        const Control* control = panel.second.layout.find(id);
        if (control != nullptr) return control;
    }
    return nullptr;
}

bool Connection::timerRunning(std::int32_t id) const {
    return facility_.timers().running(number_, id);
}

void Connection::showPanels() {
    if (panels_.empty()) event(EventKind::State, "no panel loaded");
    for (const auto& panel : panels_) {
        event(EventKind::State,
              "panel " + displayQuote(panel.first) + " from " + displayQuote(panel.second.file));
        for (const auto& control : panel.second.layout.controls) {
            std::string line = "  " + control.id;
            for (const auto& entry : control.properties) {
                line += " " + entry.first + "=" + displayQuote(entry.second);
            }
            event(EventKind::State, line);
        }
    }
}

void Connection::showTimers() {
    for (const auto& timer : facility_.timers().timersOf(number_)) {
        event(EventKind::State,
              "timer " + std::to_string(timer.first) + " every " +
                  std::to_string(timer.second.first) + " ms, next at " +
                  std::to_string(timer.second.second) + " ms");
    }
}

void Connection::finish() {
    for (const auto& entry : liveReplies_) {
        fault("the reply to " + entry.second + " " + displayQuote(entry.first) +
              " was never handed back");
        delete[] entry.first;
    }
    liveReplies_.clear();
}

}  // namespace vhost
