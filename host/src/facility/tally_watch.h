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

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vhost {

class TallyWatch {
public:
    using SlotText = std::function<std::string(std::int32_t device, std::int32_t slot)>;

    // `writer` wrote `text` into info slot device.slot; warnings go to `out`.
    void written(const std::string& writer, std::int32_t device, std::int32_t slot,
                 const std::string& text, const SlotText& current, std::vector<std::string>& out);
    // `component` was sent the parent request `key` ("name=value").
    void requested(const std::string& component, const std::string& key,
                   const SlotText& current, std::vector<std::string>& out);
    // The instance `name` was looked up: device and offset (once per name).
    void lookedUp(const std::string& name, std::int32_t device, std::int32_t offset,
                  std::vector<std::string>& out);
    // The component ended: it no longer owns what it wrote.
    void ended(const std::string& component);

private:
    struct Writer {
        bool wrote = false;
        std::int32_t device = 0;
        std::int32_t slot = 0;
        std::string text;
        bool warnedStale = false;
        std::map<std::string, std::string> settings;
        std::vector<std::pair<std::int32_t, std::int32_t>> slots;  // every slot it wrote
    };
    void checkStale(const std::string& name, Writer& writer, const std::string& why,
                    const SlotText& current, std::vector<std::string>& out);

    struct SlotHash {
        std::size_t operator()(const std::pair<std::int32_t, std::int32_t>& slot) const {
            return std::hash<std::uint64_t>()(
                (static_cast<std::uint64_t>(static_cast<std::uint32_t>(slot.first)) << 32) |
                static_cast<std::uint32_t>(slot.second));
        }
    };
    std::unordered_map<std::pair<std::int32_t, std::int32_t>, std::string, SlotHash> lastWriter_;
    std::unordered_map<std::string, Writer> writers_;
    std::unordered_set<std::string> unsetLookups_;  // instances already warned about
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_TALLY_WATCH_H
