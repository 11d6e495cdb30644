// tally_watch.h - the rehearsal warnings about tally slots.
//
// A real facility has no one watching which panel wrote which tally slot;
// in rehearsal the host does:
// - a conflict: a component writes a slot that another component wrote last;
// - a lookup that gives device or offset 0, which a component takes as not
//   set: it waits for the setting for ever, its start-up timer re-arming;
// - a stale tally: a component wrote a tally other than "0" into a slot,
//   then moved on to write another slot, and once its call (the notification
//   it was handling) has returned, the old slot still holds that tally
//   unchanged from it: nothing clears it, and on air that lamp would stay
//   lit. It is judged from the writes alone, after the component has acted,
//   so a component that clears its old slot in the same call is never
//   warned, whatever its settings are called.
#ifndef VESK_HOST_FACILITY_TALLY_WATCH_H
#define VESK_HOST_FACILITY_TALLY_WATCH_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vhost {

class TallyWatch {
public:
    using SlotText = std::function<std::string(std::int32_t device, std::int32_t slot)>;

    // Component `number`, called `name`, wrote `text` into info slot
    // device.slot; warnings go to `out`. `name` must outlive the entry
    // (until ended()).
    void written(std::size_t number, const std::string& name, std::int32_t device,
                 std::int32_t slot, std::string_view text, std::vector<std::string>& out);
    // A call into component `number` returned: the slots it moved away from
    // during the call are judged now.
    void acted(std::size_t number, const SlotText& current, std::vector<std::string>& out);
    // The instance `name` was looked up: device and offset (once per name).
    void lookedUp(const std::string& name, std::int32_t device, std::int32_t offset,
                  std::vector<std::string>& out);
    // The component ended: it no longer owns what it wrote.
    void ended(std::size_t number);

private:
    // Per component, by its number: what it wrote last, kept flat so that
    // a component writing its own slot again touches only its entry.
    struct Writer {
        const std::string* name = nullptr;
        bool wrote = false;
        bool holdsSlot = false;  // it wrote device.slot last of all components
        std::int32_t device = 0;
        std::int32_t slot = 0;
        std::string text;
        std::vector<std::pair<std::int32_t, std::int32_t>> slots;  // every slot it wrote
        // During one call: the slots it moved away from, with the tally it
        // left there and the slot it went on to, and the slots it wrote.
        struct Left {
            std::int32_t device;
            std::int32_t slot;
            std::string text;
            std::string next;
        };
        std::vector<Left> left;
        std::vector<std::pair<std::int32_t, std::int32_t>> writtenNow;
    };
    Writer& writer(std::size_t number, const std::string& name);

    std::unordered_map<std::uint64_t, std::size_t> lastWriter_;  // slot -> component number
    std::vector<Writer> writers_;
    std::unordered_set<std::string> unsetLookups_;  // instances already warned about
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_TALLY_WATCH_H
