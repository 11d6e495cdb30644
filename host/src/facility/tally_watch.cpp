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

}  // namespace

TallyWatch::Writer& TallyWatch::writer(std::size_t number, const std::string& name) {
    if (number >= writers_.size()) writers_.resize(number + 1);
    Writer& writer = writers_[number];
    writer.name = &name;
    return writer;
}

void TallyWatch::written(std::size_t number, const std::string& name, std::int32_t device,
                         std::int32_t slot, std::string_view text, std::vector<std::string>& out) {
    Writer& writer = this->writer(number, name);
    const bool sameSlot = writer.wrote && writer.device == device && writer.slot == slot;
    if (!sameSlot || !writer.holdsSlot) {
        // Judged when the call returns: the component may clear it yet.
        if (writer.wrote && !sameSlot && writer.holdsSlot && writer.text != "0") {
            writer.left.push_back(
                {writer.device, writer.slot, writer.text, slotName(device, slot)});
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
    const std::pair<std::int32_t, std::int32_t> now{device, slot};
    if (writer.writtenNow.empty() || writer.writtenNow.back() != now) {
        writer.writtenNow.push_back(now);
    }
}

void TallyWatch::acted(std::size_t number, const SlotText& current,
                       std::vector<std::string>& out) {
    if (number >= writers_.size()) return;
    Writer& writer = writers_[number];
    if (writer.left.empty()) {
        writer.writtenNow.clear();
        return;
    }
    for (const Writer::Left& left : writer.left) {
        const std::pair<std::int32_t, std::int32_t> slot{left.device, left.slot};
        // Written again in the same call: the component still looks after it.
        if (std::find(writer.writtenNow.begin(), writer.writtenNow.end(), slot) !=
            writer.writtenNow.end()) {
            continue;
        }
        const auto owner = lastWriter_.find(slotKey(left.device, left.slot));
        if (owner == lastWriter_.end() || owner->second != number) continue;
        if (current(left.device, left.slot) != left.text) continue;
        out.push_back("stale tally: info " + slotName(left.device, left.slot) + " still holds \"" +
                      left.text + "\" written by " + *writer.name + ", which now writes " +
                      left.next + "; nothing clears it");
    }
    writer.left.clear();
    writer.writtenNow.clear();
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
