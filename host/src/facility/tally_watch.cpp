#include "tally_watch.h"

#include <algorithm>

#include "text/stored_text.h"

namespace vhost {

namespace {

std::uint64_t slotKey(std::int32_t device, std::int32_t slot) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(device)) << 32) |
           static_cast<std::uint32_t>(slot);
}

std::string slotName(std::int32_t device, std::int32_t slot) {
    return std::to_string(device) + "." + std::to_string(slot);
}

// The parent parameters that choose what a component writes where.
bool tallySetting(const std::string& name) {
    return name == "instance" || name == "setslot" || name == "slotoffset" ||
           name == "tally_on" || name == "tally_val";
}

}  // namespace

TallyWatch::Writer& TallyWatch::writer(std::size_t number, const std::string& name) {
    if (number >= writers_.size()) writers_.resize(number + 1);
    Writer& writer = writers_[number];
    writer.name = &name;
    return writer;
}

void TallyWatch::checkStale(std::size_t number, Writer& writer, const std::string& why,
                            const SlotText& current, std::vector<std::string>& out) {
    if (!writer.wrote || writer.warnedStale || writer.text == "0") return;
    const auto owner = lastWriter_.find(slotKey(writer.device, writer.slot));
    if (owner == lastWriter_.end() || owner->second != number) return;
    if (current(writer.device, writer.slot) != writer.text) return;
    writer.warnedStale = true;
    out.push_back("stale tally: info " + slotName(writer.device, writer.slot) + " still holds \"" +
                  writer.text + "\" written by " + *writer.name + ", " + why +
                  "; nothing clears it");
}

void TallyWatch::written(std::size_t number, const std::string& name, std::int32_t device,
                         std::int32_t slot, std::string_view text, const SlotText& current,
                         std::vector<std::string>& out) {
    Writer& writer = this->writer(number, name);
    const bool sameSlot = writer.wrote && writer.device == device && writer.slot == slot;
    if (!sameSlot || !writer.holdsSlot) {
        if (writer.wrote && !sameSlot) {
            checkStale(number, writer, "which now writes " + slotName(device, slot), current, out);
        }
        const auto last = lastWriter_.try_emplace(slotKey(device, slot), number).first;
        if (last->second != number) {
            Writer& previous = writers_[last->second];
            out.push_back("tally conflict: " + name + " writes info " + slotName(device, slot) +
                          ", which " + *previous.name + " wrote last");
            if (previous.device == device && previous.slot == slot) previous.holdsSlot = false;
            last->second = number;
        }
        const std::pair<std::int32_t, std::int32_t> taken{device, slot};
        if (std::find(writer.slots.begin(), writer.slots.end(), taken) == writer.slots.end()) {
            writer.slots.push_back(taken);
        }
        writer.holdsSlot = true;
    }
    writer.wrote = true;
    writer.device = device;
    writer.slot = slot;
    storeText(writer.text, text);
    writer.warnedStale = false;
}

void TallyWatch::requested(std::size_t number, const std::string& name, const std::string& key,
                           const SlotText& current, std::vector<std::string>& out) {
    const std::size_t equals = key.find('=');
    const std::string setting = key.substr(0, equals);
    if (!tallySetting(setting)) return;
    const std::string value = equals == std::string::npos ? std::string() : key.substr(equals + 1);
    Writer& writer = this->writer(number, name);
    const auto known = writer.settings.find(setting);
    // The first value given is a setting, not a change.
    const bool changed = known != writer.settings.end() && known->second != value;
    writer.settings[setting] = value;
    if (changed) checkStale(number, writer, "before its " + setting + " changed", current, out);
}

void TallyWatch::lookedUp(const std::string& name, std::int32_t device, std::int32_t offset,
                          std::vector<std::string>& out) {
    if ((device != 0 && offset != 0) || !unsetLookups_.insert(name).second) return;
    out.push_back("instance " + name + " is at device " + std::to_string(device) + " offset " +
                  std::to_string(offset) +
                  ": a component takes 0 as not set and waits for it for ever, re-arming its "
                  "start-up timer (device or offset missing in [instances." +
                  name + "]?)");
}

void TallyWatch::ended(std::size_t number) {
    if (number >= writers_.size()) return;
    for (const auto& slot : writers_[number].slots) {
        const auto it = lastWriter_.find(slotKey(slot.first, slot.second));
        if (it != lastWriter_.end() && it->second == number) lastWriter_.erase(it);
    }
    writers_[number] = Writer();
}

}  // namespace vhost
