#include "routing_index.h"

#include <algorithm>

namespace vhost {

namespace {

int driverKey(Driver driver) { return driver == Driver::Gpi ? 1 : 0; }

}  // namespace

void RoutingIndex::add(std::size_t owner, Driver driver, std::int32_t device, std::int32_t first,
                       std::int32_t last, bool replace) {
    if (replace) remove(owner, driver, device);
    if (last < first) return;
    byOwner_[owner][{driverKey(driver), device}].emplace_back(first, last);
    if (static_cast<std::int64_t>(last) - first + 1 > expandLimit) {
        wide_[{driverKey(driver), device}].push_back(Wide{owner, first, last});
        return;
    }
    for (std::int64_t slot = first; slot <= last; ++slot) {
        auto& owners = slots_[Key{driver, device, static_cast<std::int32_t>(slot)}];
        if (std::find(owners.begin(), owners.end(), owner) == owners.end()) owners.push_back(owner);
    }
}

void RoutingIndex::remove(std::size_t owner, Driver driver, std::int32_t device) {
    auto mine = byOwner_.find(owner);
    if (mine == byOwner_.end()) return;
    const DeviceKey deviceKey{driverKey(driver), device};
    auto ranges = mine->second.find(deviceKey);
    if (ranges == mine->second.end()) return;
    for (const auto& range : ranges->second) {
        if (static_cast<std::int64_t>(range.second) - range.first + 1 > expandLimit) continue;
        for (std::int64_t slot = range.first; slot <= range.second; ++slot) {
            auto it = slots_.find(Key{driver, device, static_cast<std::int32_t>(slot)});
            if (it == slots_.end()) continue;
            auto& owners = it->second;
            owners.erase(std::remove(owners.begin(), owners.end(), owner), owners.end());
            if (owners.empty()) slots_.erase(it);
        }
    }
    auto wide = wide_.find(deviceKey);
    if (wide != wide_.end()) {
        auto& list = wide->second;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Wide& w) { return w.owner == owner; }),
                   list.end());
        if (list.empty()) wide_.erase(wide);
    }
    mine->second.erase(ranges);
    if (mine->second.empty()) byOwner_.erase(mine);
}

void RoutingIndex::removeAll(std::size_t owner) {
    auto mine = byOwner_.find(owner);
    if (mine == byOwner_.end()) return;
    std::vector<DeviceKey> devices;
    for (const auto& entry : mine->second) devices.push_back(entry.first);
    for (const DeviceKey& device : devices) {
        remove(owner, device.first == 1 ? Driver::Gpi : Driver::Info, device.second);
    }
}

void RoutingIndex::subscribers(Driver driver, std::int32_t device, std::int32_t slot,
                               std::vector<std::size_t>& out) const {
    const std::size_t start = out.size();
    const auto it = slots_.find(Key{driver, device, slot});
    if (it != slots_.end()) {
        visited_ += it->second.size();
        out.insert(out.end(), it->second.begin(), it->second.end());
    }
    if (wide_.empty()) return;
    const auto wide = wide_.find({driverKey(driver), device});
    if (wide == wide_.end()) return;
    for (const Wide& range : wide->second) {
        ++visited_;
        if (slot < range.first || slot > range.last) continue;
        if (std::find(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), range.owner) ==
            out.end()) {
            out.push_back(range.owner);
        }
    }
}

bool RoutingIndex::registered(Driver driver, std::int32_t device, std::int32_t slot) const {
    if (slots_.count(Key{driver, device, slot}) != 0) return true;
    const auto wide = wide_.find({driverKey(driver), device});
    if (wide == wide_.end()) return false;
    for (const Wide& range : wide->second) {
        if (slot >= range.first && slot <= range.last) return true;
    }
    return false;
}

}  // namespace vhost
