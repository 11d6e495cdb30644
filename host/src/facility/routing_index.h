// routing_index.h - which components registered which driver slot.
//
// A registration covers a range of slots (or GPI inputs) on one device.
// Ranges of up to `expandLimit` slots are entered slot by slot, so that
// finding the subscribers of one slot is one lookup in a flat table
// however many components the facility holds; wider ranges (rare) sit in a short list per
// device. Registrations are replaced or dropped per component and device,
// as the registration commands do.
#ifndef VESK_HOST_FACILITY_ROUTING_INDEX_H
#define VESK_HOST_FACILITY_ROUTING_INDEX_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "facility/slot_table.h"

namespace vhost {

enum class Driver { Info, Gpi };

class RoutingIndex {
public:
    static const std::int64_t expandLimit = 256;

    // Adds `first`..`last` on `device` for `owner`; `replace` drops what
    // `owner` had on that device first.
    void add(std::size_t owner, Driver driver, std::int32_t device, std::int32_t first,
             std::int32_t last, bool replace);
    void remove(std::size_t owner, Driver driver, std::int32_t device);
    void removeAll(std::size_t owner);

    // Appends the components registered for `slot` to `out` (each once).
    void subscribers(Driver driver, std::int32_t device, std::int32_t slot,
                     std::vector<std::size_t>& out) const;
    bool registered(Driver driver, std::int32_t device, std::int32_t slot) const;

    // Subscriber entries looked at by subscribers(), for measuring routing.
    std::uint64_t visited() const { return visited_; }

private:
    // The components registered for one slot: almost always one, kept in
    // place so that routing an update reads no further memory.
    struct Owners {
        static const std::size_t none = static_cast<std::size_t>(-1);
        std::size_t first = none;
        std::vector<std::size_t> more;
        bool empty() const { return first == none; }
    };
    struct Wide {
        std::size_t owner;
        std::int32_t first;
        std::int32_t last;
    };
    using DeviceKey = std::pair<int, std::int32_t>;  // driver, device

    SlotTable<Owners> slots_[2];  // by driver
    std::map<DeviceKey, std::vector<Wide>> wide_;
    // What each component registered, to undo it: owner -> device -> ranges.
    std::map<std::size_t, std::map<DeviceKey, std::vector<std::pair<std::int32_t, std::int32_t>>>>
        byOwner_;
    mutable std::uint64_t visited_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_ROUTING_INDEX_H
