// live_backend.h - what the live web page needs of a running facility.
//
// The web server runs its connections on threads of its own; everything it
// asks of the facility goes through this interface, on the one thread that
// runs the facility. Texts are 8-bit; in JSON they appear as the facility's
// JSON printer maps them.
//
// Snapshot (GET /api/state), a JSON object:
//   {"time_ms": 1500,
//    "components": [{"name": "cam1", "plugin": "Varnik.so", "alive": true,
//                    "panels": [{"id": "1", "file": "varnik.vesk_ui",
//                                "controls": [{"id": "Tally", "label": "Tally", "text": "0",
//                                              "properties": {"text": "0", "label": "Tally"}}]}],
//                    "tally": {"device": 12, "slot": 20, "text": "1", "time_ms": 500},
//                                                  (the info slot it wrote last; null before)
//                    "warnings": [{"time_ms": 500, "text": "tally conflict: ..."}]}],
//                                                  (the newest warnings about it, bounded)
//    "gpi":  [{"device": 3, "input": 7, "state": 0, "registered": true}],
//    "info": [{"device": 12, "slot": 20, "text": "0", "registered": false}],
//    "timeline": [<timeline event>, ...],          (the newest, bounded, oldest first)
//    "timeline_dropped": 0,                       (older events no longer kept)
//    "warnings": 0,
//    "recording": {"on": false, "file": ""}}      (with a recorder; file: --record FILE)
//
// Events published while the facility runs, one JSON object each:
//   {"type": "timeline", "time_ms": 500, "kind": "command", "text": "IW 12 '2' 20 0",
//    "component": "cam1"}                          (kind as in the JSON timeline; "warning"
//                                                   for rehearsal warnings; component may be absent)
//   {"type": "control", "component": "cam1", "panel": "1", "control": "Tally",
//    "property": "text", "value": "2"}
//   {"type": "slot", "device": 12, "slot": 20, "text": "2", "registered": false}
//   {"type": "gpi", "device": 3, "input": 7, "state": 1, "registered": true}
//   {"type": "written", "component": "cam1", "device": 12, "slot": 20, "text": "1",
//    "time_ms": 500}                               (a component wrote an info slot)
//   {"type": "components"}                         (components or panels came or went:
//                                                   fetch the snapshot again)
#ifndef VESK_HOST_FRONT_WEB_LIVE_BACKEND_H
#define VESK_HOST_FRONT_WEB_LIVE_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vhost {
namespace web {

// The answer to a request that changes state: 200 with a JSON body, or a
// 4xx with {"error": "<clear message>"} and nothing changed.
struct Outcome {
    int status = 200;
    nlohmann::json body = nlohmann::json::object();
};

class LiveBackend {
public:
    virtual ~LiveBackend() = default;

    virtual nlohmann::json snapshot() = 0;
    virtual Outcome forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) = 0;
    virtual Outcome forceInfo(std::int32_t device, std::int32_t slot, const std::string& text) = 0;
    // Body on success: {"reply": "<text>"} or {"reply": null}.
    virtual Outcome parentRequest(const std::string& component, const std::string& key) = 0;
    virtual Outcome controlEvent(const std::string& component, const std::string& control,
                                 const std::string& key) = 0;
    // Runs the simulated clock forward to `ms` since the start; timers tick.
    virtual void advanceTo(std::int64_t ms) = 0;
    virtual std::int64_t now() const = 0;
    // Every change from now on is handed to `sink` as one event, on the
    // facility's thread, while the call that caused it runs.
    virtual void setEventSink(std::function<void(const nlohmann::json&)> sink) = 0;
    // The rehearsal recorded as a scenario so far (GET /api/recording): its
    // size in bytes, with up to `max` of its bytes from `offset` in `piece`
    // (a download takes it a piece at a time); and the "record" switch (POST
    // /api/record, body on success {"on": true}). None without a recorder.
    virtual std::optional<std::size_t> recording(std::size_t offset, std::size_t max,
                                                 std::string& piece) {
        (void)offset;
        (void)max;
        piece.clear();
        return std::nullopt;
    }
    virtual Outcome setRecording(bool on);
};

inline Outcome LiveBackend::setRecording(bool) {
    Outcome outcome;
    outcome.status = 409;
    outcome.body = {{"error", "this host keeps no recording"}};
    return outcome;
}

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_LIVE_BACKEND_H
