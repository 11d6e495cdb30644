// tally_watch.h - the rehearsal warnings about tally slots.
//
// A real facility has no one watching which panel wrote which tally slot;
// in rehearsal the host does:
// - a conflict: a component writes a slot that another component wrote last;
// - a lookup that gives device or offset 0, which a component takes as not
//   set: it waits for the setting for ever, its start-up timer re-arming;
// - a stale tally: a slot still holds a tally other than "0" written by a
//   component that has since moved to another slot, or whose source,
//   destination or value settings changed (the component does not clear the
//   old slot; on air that lamp would stay lit).
#ifndef VESK_HOST_FACILITY_TALLY_WATCH_H
#define VESK_HOST_FACILITY_TALLY_WATCH_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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
                 std::int32_t slot, std::string_view text, const SlotText& current,
                 std::vector<std::string>& out);
    // Component `number` was sent the parent request `key` ("name=value").
    void requested(std::size_t number, const std::string& name, const std::string& key,
                   const SlotText& current, std::vector<std::string>& out);
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
        bool warnedStale = false;
        std::int32_t device = 0;
        std::int32_t slot = 0;
        std::string text;
        std::map<std::string, std::string> settings;
        std::vector<std::pair<std::int32_t, std::int32_t>> slots;  // every slot it wrote
    };
    Writer& writer(std::size_t number, const std::string& name);
    void checkStale(std::size_t number, Writer& writer, const std::string& why,
                    const SlotText& current, std::vector<std::string>& out);

    std::unordered_map<std::uint64_t, std::size_t> lastWriter_;  // slot -> component number
    std::vector<Writer> writers_;
    std::unordered_set<std::string> unsetLookups_;  // instances already warned about
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_TALLY_WATCH_H
