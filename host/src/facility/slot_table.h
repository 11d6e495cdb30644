// slot_table.h - a value for each (device, slot), found without hashing.
//
// Slots of one device are mostly numbered closely (inputs 1..n, tally
// slots from an offset), so each device keeps its slots in a flat array
// from its lowest slot seen; a slot too far from the others to keep the
// array small goes to a hash map instead. The device last asked for is
// remembered, as updates come in runs on one device. A value-initialised
// T means "nothing here"; `find` may return such an entry.
//
// References into the table are valid only until the next `at`.
#ifndef VESK_HOST_FACILITY_SLOT_TABLE_H
#define VESK_HOST_FACILITY_SLOT_TABLE_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vhost {

template <typename T>
class SlotTable {
public:
    // The widest span of slots one device keeps in its flat array.
    static const std::int64_t maxDenseSpan = 65536;

    // The entry of device.slot, or null when it was never made.
    T* find(std::int32_t device, std::int32_t slot) {
        Device* owner = findDevice(device);
        if (owner == nullptr) return nullptr;
        const std::int64_t at = static_cast<std::int64_t>(slot) - owner->base;
        if (at >= 0 && at < static_cast<std::int64_t>(owner->dense.size())) {
            return &owner->dense[static_cast<std::size_t>(at)];
        }
        const auto it = owner->sparse.find(slot);
        return it == owner->sparse.end() ? nullptr : &it->second;
    }
    const T* find(std::int32_t device, std::int32_t slot) const {
        return const_cast<SlotTable*>(this)->find(device, slot);  // finds, changes nothing
    }

    // The entry of device.slot, made (value-initialised) when missing.
    T& at(std::int32_t device, std::int32_t slot) {
        Device* owner = findDevice(device);
        if (owner == nullptr) {
            index_.emplace(device, devices_.size());
            devices_.push_back(Device{device, slot, {}, {}});
            owner = &devices_.back();
            last_ = devices_.size() - 1;
        }
        std::vector<T>& dense = owner->dense;
        if (dense.empty()) owner->base = slot;
        const std::int64_t first = owner->base;
        const std::int64_t end = first + static_cast<std::int64_t>(dense.size());
        if (slot >= first && slot < end) return dense[static_cast<std::size_t>(slot - first)];
        const std::int64_t low = slot < first ? slot : first;
        const std::int64_t high = slot >= end ? static_cast<std::int64_t>(slot) + 1 : end;
        if (high - low > maxDenseSpan) return owner->sparse[slot];
        if (slot < first) {
            dense.insert(dense.begin(), static_cast<std::size_t>(first - slot), T());
            owner->base = slot;
        } else {
            dense.resize(static_cast<std::size_t>(high - low));
        }
        // Slots kept apart until now may belong in the array from here on.
        T& entry = dense[static_cast<std::size_t>(slot - owner->base)];
        for (auto it = owner->sparse.begin(); it != owner->sparse.end();) {
            const std::int64_t offset = static_cast<std::int64_t>(it->first) - owner->base;
            if (offset >= 0 && offset < static_cast<std::int64_t>(dense.size())) {
                dense[static_cast<std::size_t>(offset)] = std::move(it->second);
                it = owner->sparse.erase(it);
            } else {
                ++it;
            }
        }
        return entry;
    }

private:
    struct Device {
        std::int32_t device;
        std::int32_t base;  // the slot of dense[0]
        std::vector<T> dense;
        std::unordered_map<std::int32_t, T> sparse;
    };

    Device* findDevice(std::int32_t device) const {
        if (last_ < devices_.size() && devices_[last_].device == device) return at(last_);
        const auto it = index_.find(device);
        if (it == index_.end()) return nullptr;
        last_ = it->second;
        return at(last_);
    }
    Device* at(std::size_t position) const {
        return const_cast<Device*>(&devices_[position]);
    }

    std::vector<Device> devices_;
    std::unordered_map<std::int32_t, std::size_t> index_;  // device -> position in devices_
    mutable std::size_t last_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_SLOT_TABLE_H
