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
    SlotTable<Owners>& table = slots_[driverKey(driver)];
    for (std::int64_t slot = first; slot <= last; ++slot) {
        Owners& owners = table.at(device, static_cast<std::int32_t>(slot));
        if (owners.empty()) {
            owners.first = owner;
        } else if (owners.first != owner &&
                   std::find(owners.more.begin(), owners.more.end(), owner) == owners.more.end()) {
            owners.more.push_back(owner);
        }
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
            Owners* owners = slots_[driverKey(driver)].find(device, static_cast<std::int32_t>(slot));
            if (owners == nullptr || owners->empty()) continue;
            auto& more = owners->more;
            more.erase(std::remove(more.begin(), more.end(), owner), more.end());
            if (owners->first == owner) {
                if (more.empty()) {
                    owners->first = Owners::none;
                } else {
                    owners->first = more.front();
                    more.erase(more.begin());
                }
            }
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
    const Owners* owners = slots_[driverKey(driver)].find(device, slot);
    if (owners != nullptr && !owners->empty()) {
        visited_ += 1 + owners->more.size();
        out.push_back(owners->first);
        if (!owners->more.empty()) out.insert(out.end(), owners->more.begin(), owners->more.end());
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
    const Owners* owners = slots_[driverKey(driver)].find(device, slot);
    if (owners != nullptr && !owners->empty()) return true;
    const auto wide = wide_.find({driverKey(driver), device});
    if (wide == wide_.end()) return false;
    for (const Wide& range : wide->second) {
        if (slot >= range.first && slot <= range.last) return true;
    }
    return false;
}

}  // namespace vhost
