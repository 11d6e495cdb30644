#include "tally_watch.h"

#include <algorithm>

namespace vhost {

namespace {

std::string slotName(std::int32_t device, std::int32_t slot) {
    return std::to_string(device) + "." + std::to_string(slot);
}

// The parent parameters that choose what a component writes where.
bool tallySetting(const std::string& name) {
    return name == "instance" || name == "setslot" || name == "slotoffset" ||
           name == "tally_on" || name == "tally_val";
}

}  // namespace

void TallyWatch::checkStale(const std::string& name, Writer& writer, const std::string& why,
                            const SlotText& current, std::vector<std::string>& out) {
    if (!writer.wrote || writer.warnedStale || writer.text == "0") return;
    const auto owner = lastWriter_.find({writer.device, writer.slot});
    if (owner == lastWriter_.end() || owner->second != name) return;
    if (current(writer.device, writer.slot) != writer.text) return;
    writer.warnedStale = true;
    out.push_back("stale tally: info " + slotName(writer.device, writer.slot) + " still holds \"" +
                  writer.text + "\" written by " + name + ", " + why +
                  "; nothing clears it");
}

void TallyWatch::written(const std::string& name, std::int32_t device, std::int32_t slot,
                         const std::string& text, const SlotText& current,
                         std::vector<std::string>& out) {
    Writer& writer = writers_[name];
    if (writer.wrote && (writer.device != device || writer.slot != slot)) {
        checkStale(name, writer, "which now writes " + slotName(device, slot), current, out);
    }
    std::string& last = lastWriter_[{device, slot}];
    if (!last.empty() && last != name) {
        out.push_back("tally conflict: " + name + " writes info " + slotName(device, slot) +
                      ", which " + last + " wrote last");
    }
    if (last != name) {
        last = name;
        const std::pair<std::int32_t, std::int32_t> taken{device, slot};
        if (std::find(writer.slots.begin(), writer.slots.end(), taken) == writer.slots.end()) {
            writer.slots.push_back(taken);
        }
    }
    writer.wrote = true;
    writer.device = device;
    writer.slot = slot;
    if (writer.text != text) writer.text = text;
    writer.warnedStale = false;
}

void TallyWatch::requested(const std::string& name, const std::string& key,
                           const SlotText& current, std::vector<std::string>& out) {
    const std::size_t equals = key.find('=');
    const std::string setting = key.substr(0, equals);
    if (!tallySetting(setting)) return;
    const std::string value = equals == std::string::npos ? std::string() : key.substr(equals + 1);
    Writer& writer = writers_[name];
    const auto known = writer.settings.find(setting);
    // The first value given is a setting, not a change.
    const bool changed = known != writer.settings.end() && known->second != value;
    writer.settings[setting] = value;
    if (changed) checkStale(name, writer, "before its " + setting + " changed", current, out);
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

void TallyWatch::ended(const std::string& name) {
    const auto writer = writers_.find(name);
    if (writer == writers_.end()) return;
    for (const auto& slot : writer->second.slots) {
        const auto it = lastWriter_.find(slot);
        if (it != lastWriter_.end() && it->second == name) lastWriter_.erase(it);
    }
    writers_.erase(writer);
}

}  // namespace vhost
