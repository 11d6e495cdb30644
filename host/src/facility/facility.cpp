#include "facility/facility.h"

#include <charconv>

#include "connection/connection.h"
#include "platform/crash_guard.h"
#include "text/stored_text.h"

namespace vhost {

namespace {

std::string rangeText(std::int32_t device, std::int32_t index) {
    return std::to_string(device) + "." + std::to_string(index);
}

const char* driverName(Driver driver) { return driver == Driver::Gpi ? "gpi" : "info"; }

// Polling a huge range would flood the plug-in; more than this many slots in
// one command is taken for a fault.
const std::int64_t maxPolledSlots = 4096;

}  // namespace

Facility::Facility(Environment env, Timeline& timeline, bool captureDiagnostics)
    : env_(std::move(env)),
      timeline_(timeline),
      capture_(captureDiagnostics),
      slotText_([this](std::int32_t device, std::int32_t slot) { return infoText(device, slot); }) {
    for (const auto& instance : env_.instances) {
        knownDevices_[0][instance.second.device] = true;
        knownDevices_[1][instance.second.device] = true;
    }
    for (auto& device : env_.info) {
        knownDevices_[0][device.first] = true;
        for (auto& slot : device.second) infoIndex_.at(device.first, slot.first) = &slot.second;
    }
    for (auto& device : env_.gpi) {
        knownDevices_[1][device.first] = true;
        for (auto& input : device.second) {
            gpiIndex_.at(device.first, input.first) = &input.second;
        }
    }
}

Facility::~Facility() {
    for (auto& component : components_) component->destroy();
}

Connection& Facility::addComponent(const std::string& name, vesk_factory_fn factory,
                                   const std::string& panelPath, const std::string& plugin) {
    const std::size_t number = components_.size();
    components_.push_back(
        std::make_unique<Connection>(*this, number, name, factory, panelPath, plugin));
    byName_[name] = number;
    hot_.emplace_back();
    components_.back()->setLogCapacity(logCapacity_);
    return *components_.back();
}

Connection* Facility::component(const std::string& name) {
    const auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : components_[it->second].get();
}

// ---- calls into plug-ins --------------------------------------------------

void Facility::callPluginWith(Connection& target, void (*run)(void*), void* context) {
    if (busy_) {
        timeline_.event(EventKind::Failure, "the host called a plug-in from inside a command", 0,
                        target.name());
        return;
    }
    busy_ = true;
    capture_.begin();
    markPluginCall(true);
    try {
        run(context);
    } catch (...) {
        // Nothing may cross the boundary as an exception; the host survives it.
        markPluginCall(false);
        drainDiagnostics(target);
        timeline_.event(EventKind::Failure, "the plug-in let an exception out of a call", 0,
                        target.name());
    }
    markPluginCall(false);
    drainDiagnostics(target);
    if (diagnosticsHeld_ == 0) {
        capture_.end();
        drainDiagnostics(target);  // what only the end of the capture found
    }
    busy_ = false;
    // What the component left behind is judged once it has acted.
    tallies_.acted(target.number(), slotText_, warnings_);
    if (!warnings_.empty()) warnAll(target);
}


void Facility::takeDiagnostics(Connection& target) {
    // After nearly every call there is nothing to take: no copies then.
    if (pendingDiagnostic_.empty() && !capture_.mayHaveWritten()) return;
    pendingDiagnostic_ += capture_.take();
    if (pendingDiagnostic_.empty()) return;
    std::size_t start = 0;
    while (start < pendingDiagnostic_.size()) {
        const std::size_t end = pendingDiagnostic_.find('\n', start);
        // Each message is one write, so a text without a final line feed
        // is a whole message as well.
        target.takeDiagnostics(pendingDiagnostic_.substr(
            start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    pendingDiagnostic_.clear();
}

// ---- driver updates -------------------------------------------------------

void Facility::queue(Connection& target, Driver driver, std::int32_t device, std::int32_t index) {
    if (queueHead_ == queueEnd_) queueHead_ = queueEnd_ = 0;
    if (queueEnd_ == queue_.size()) queue_.emplace_back();
    Update& update = queue_[queueEnd_++];
    update.target = target.number();
    update.life = target.life();
    update.driver = driver;
    update.device = device;
    update.index = index;
    // A GPI update's text (its state in digits) is written when it is delivered.
    if (driver == Driver::Gpi) {
        update.state = gpiState(device, index);
    } else {
        update.state = 0;
        const std::string* text = findInfo(device, index);
        if (text != nullptr) {
            storeText(update.text, *text);
        } else {
            update.text.clear();
        }
    }
}

void Facility::route(Driver driver, std::int32_t device, std::int32_t index) {
    scratch_.clear();
    routing_.subscribers(driver, device, index, scratch_);
    for (const std::size_t target : scratch_) queue(*components_[target], driver, device, index);
}

void Facility::pump() {
    if (busy_) return;
    ++step_;
    while (queueHead_ < queueEnd_) {
        // Delivering queues more updates and may move the queue's storage:
        // the update is taken out first (its text swapped, not copied).
        Update& next = queue_[queueHead_++];
        const std::size_t number = next.target;
        const std::uint64_t life = next.life;
        const Driver driver = next.driver;
        const std::int32_t device = next.device;
        const std::int32_t index = next.index;
        const std::int32_t state = next.state;
        if (driver == Driver::Info) delivering_.swap(next.text);
        Connection& target = *components_[number];
        if (!target.alive() || target.life() != life) continue;
        Hot& hot = hot_[number];
        if (hot.step != step_) {
            hot.step = step_;
            hot.deliveries = 0;
        }
        if (++hot.deliveries > maxDeliveriesPerStep) {
            if (hot.deliveries == maxDeliveriesPerStep + 1) {
                timeline_.event(EventKind::Failure,
                                "more than " + std::to_string(maxDeliveriesPerStep) +
                                    " driver updates in one step: the plug-in feeds its own "
                                    "source? dropping the rest",
                                0, target.name());
            }
            continue;
        }
        if (driver == Driver::Gpi) {
            char digits[16];
            const auto written = std::to_chars(digits, digits + sizeof digits, state);
            target.deliver(driver, device, index, state,
                           std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
        } else {
            target.deliver(driver, device, index, state, delivering_);
        }
    }
    queueHead_ = queueEnd_ = 0;
    if (observer_ != nullptr) observer_->stepEnded();
}

void Facility::forget(Connection& component) {
    routing_.removeAll(component.number());
    timers_.stopAll(component.number());
    tallies_.ended(component.number());
    hot_[component.number()].wroteText = nullptr;
    // Queued updates carry the component's life and are skipped.
}

void Facility::forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) {
    gpiInput(device, input) = state;
    if (timeline_.wanted()) {
        timeline_.event(EventKind::Host,
                        "force gpi " + rangeText(device, input) + " = " + std::to_string(state));
    }
    if (observer_ != nullptr) observer_->gpiChanged(device, input, state);
    route(Driver::Gpi, device, input);
    pump();
}

void Facility::forceInfo(std::int32_t device, std::int32_t slot, const std::string& text) {
    infoSlot(device, slot) = text;
    if (timeline_.wanted()) {
        timeline_.event(EventKind::Host,
                        "force info " + rangeText(device, slot) + " = " + displayQuote(text));
    }
    if (observer_ != nullptr) observer_->slotChanged(device, slot, text);
    route(Driver::Info, device, slot);
    pump();
}

void Facility::advance(std::int64_t ms) {
    const std::int64_t target = now_ + ms;
    long ticks = 0;
    while (auto tick = timers_.next(target)) {
        if (++ticks > maxTicksPerAdvance) {
            timeline_.event(EventKind::Failure,
                            "more than " + std::to_string(maxTicksPerAdvance) +
                                " timer ticks in one advance; the rest is skipped");
            timers_.skipTo(target);
            break;
        }
        now_ = tick->due;
        timeline_.setTime(now_);
        components_[tick->owner]->timerTick(tick->id);
        pump();
    }
    now_ = target;
    timeline_.setTime(now_);
}

// ---- what components ask of the facility ------------------------------------

void Facility::warn(Connection& about, const std::string& text) {
    timeline_.event(EventKind::Warning, text, 0, about.name());
}

void Facility::warnAll(Connection& about) {
    for (const std::string& warning : warnings_) warn(about, warning);
    warnings_.clear();
}

void Facility::writeInfo(Connection& writer, std::int32_t device, std::int32_t slot,
                         std::string_view text) {
    if (device == 0) {
        warn(writer, "write to info device 0: no destination is set (setslot missing?)");
    } else if (text.empty()) {
        warn(writer, "empty tally value written to info " + rangeText(device, slot) +
                         " (tally_val missing?)");
    }
    // A component writes the same slot again and again: its entry keeps the
    // slot's stored text (map nodes never move), so no lookup is needed.
    Hot& hot = hot_[writer.number()];
    if (hot.wroteText == nullptr || hot.wroteDevice != device || hot.wroteSlot != slot) {
        hot.wroteText = &infoSlot(device, slot);
        hot.wroteDevice = device;
        hot.wroteSlot = slot;
    }
    std::string& stored = *hot.wroteText;
    storeText(stored, text);
    if (timeline_.wanted()) {
        timeline_.event(EventKind::Host, "info " + rangeText(device, slot) + " = " +
                                             displayQuote(stored), 0, writer.name());
    }
    tallies_.written(writer.number(), writer.name(), device, slot, text, warnings_);
    if (!warnings_.empty()) warnAll(writer);
    if (observer_ != nullptr) {
        observer_->infoWritten(writer, device, slot, stored);
        observer_->slotChanged(device, slot, stored);
    }
    route(Driver::Info, device, slot);
}

void Facility::instanceLookedUp(Connection& asker, const std::string& name,
                                const Instance& instance) {
    tallies_.lookedUp(name, instance.device, instance.offset, warnings_);
    warnAll(asker);
}

bool Facility::knowsDevice(Driver driver, std::int32_t device) const {
    return knownDevices_[driver == Driver::Gpi ? 1 : 0].count(device) != 0;
}

void Facility::registerSlots(Connection& owner, Driver driver, std::int32_t device,
                             std::int32_t first, std::int32_t last, bool replace) {
    if (!knowsDevice(driver, device)) {
        warn(owner, std::string("registration of ") + driverName(driver) + " device " +
                        std::to_string(device) + ", which the environment does not know");
    }
    routing_.add(owner.number(), driver, device, first, last, replace);
    if (observer_ != nullptr) observer_->structureChanged();
}

void Facility::unregister(Connection& owner, Driver driver, std::int32_t device) {
    routing_.remove(owner.number(), driver, device);
    if (observer_ != nullptr) observer_->structureChanged();
}

void Facility::poll(Connection& owner, Driver driver, std::int32_t device, std::int32_t first,
                    std::int32_t last) {
    if (static_cast<std::int64_t>(last) < first ||
        static_cast<std::int64_t>(last) - first + 1 > maxPolledSlots) {
        timeline_.event(EventKind::Host,
                        "poll range " + std::to_string(first) + ".." + std::to_string(last) +
                            " is empty or larger than " + std::to_string(maxPolledSlots) +
                            " slots, ignored",
                        0, owner.name());
        return;
    }
    for (std::int64_t index = first; index <= last; ++index) {
        queue(owner, driver, device, static_cast<std::int32_t>(index));
    }
}

// ---- state ----------------------------------------------------------------

std::string& Facility::infoSlot(std::int32_t device, std::int32_t slot) {
    std::string*& text = infoIndex_.at(device, slot);
    if (text == nullptr) text = &env_.info[device][slot];
    return *text;
}

std::int32_t& Facility::gpiInput(std::int32_t device, std::int32_t input) {
    if (std::int32_t** known = gpiIndex_.find(device, input)) {
        if (*known != nullptr) return **known;
    }
    std::int32_t*& state = gpiIndex_.at(device, input);
    if (state == nullptr) state = &env_.gpi[device][input];
    return *state;
}

const std::string* Facility::findInfo(std::int32_t device, std::int32_t slot) const {
    std::string* const* text = infoIndex_.find(device, slot);
    return text != nullptr ? *text : nullptr;
}

std::string Facility::infoText(std::int32_t device, std::int32_t slot) const {
    const std::string* text = findInfo(device, slot);
    return text != nullptr ? *text : std::string();
}

std::int32_t Facility::gpiState(std::int32_t device, std::int32_t input) const {
    std::int32_t* const* state = gpiIndex_.find(device, input);
    return state != nullptr && *state != nullptr ? **state : 0;
}

void Facility::showSlots() {
    for (const auto& device : env_.info) {
        for (const auto& slot : device.second) {
            timeline_.event(EventKind::State,
                            "info " + rangeText(device.first, slot.first) + " = " +
                                displayQuote(slot.second) +
                                (routing_.registered(Driver::Info, device.first, slot.first)
                                     ? "  (registered)"
                                     : ""));
        }
    }
    for (const auto& device : env_.gpi) {
        for (const auto& input : device.second) {
            timeline_.event(EventKind::State,
                            "gpi " + rangeText(device.first, input.first) + " = " +
                                std::to_string(input.second) +
                                (routing_.registered(Driver::Gpi, device.first, input.first)
                                     ? "  (registered)"
                                     : ""));
        }
    }
    for (auto& component : components_) component->showTimers();
}

void Facility::finish() {
    for (auto& component : components_) {
        component->destroy();
        component->finish();
    }
}

}  // namespace vhost
