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
// Events published while the facility runs, one JSON object each. What a
// batch of work (a request, a packet from a mixer, a tick of the clock)
// changed reaches the page as one "batch": the final state of every GPI
// input, info slot, component write and control it changed, and its
// timeline events, each list left out when empty:
//   {"type": "batch", "time_ms": 500,
//    "gpi": [[3, 7, 1, true], ...],               ([device, input, state, registered])
//    "info": [[12, 20, "2", false], ...],         ([device, slot, text, registered])
//    "written": [["cam1", 12, 20, "1", 500], ...] ([component, device, slot, text, time_ms]:
//                                                  a component wrote an info slot)
//    "controls": [["cam1", "1", "Tally", "2"], ...] ([component, panel, control, text])
//    "timeline": [{"time_ms": 500, "kind": "command", "text": "IW 12 '2' 20 0",
//                  "component": "cam1"}, ...],   (kind as in the JSON timeline;
//                                                  "warning" for rehearsal warnings;
//                                                  component and line may be absent)
//    "timeline_left_out": 9000}                   (routine events of a large batch
//                                                  not listed; a "host" event says so)
//   {"type": "components"}                         (components or panels came or went:
//                                                   fetch the snapshot again)
//   {"type": "bridge", ...}                        (a TSL bridge's state, as in the snapshot)
#ifndef VESK_HOST_FRONT_WEB_LIVE_BACKEND_H
#define VESK_HOST_FRONT_WEB_LIVE_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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

// What the server offers a backend for its events; called on the
// facility's thread.
class EventOutlet {
public:
    virtual ~EventOutlet() = default;
    // Whether any event stream is open: events need not be written otherwise.
    virtual bool listening() const = 0;
    // One event, the text of a JSON object.
    virtual void publish(std::string event) = 0;
    // Asks for flushEvents to run once the work at hand is done (once per request).
    virtual void flushSoon() = 0;
};

class LiveBackend {
public:
    virtual ~LiveBackend() = default;

    // The snapshot (above) as JSON text, with `more` among its members
    // (key -> JSON text), every key in order.
    virtual std::string snapshot(const std::map<std::string, std::string>& more) = 0;
    virtual Outcome forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) = 0;
    virtual Outcome forceInfo(std::int32_t device, std::int32_t slot, const std::string& text) = 0;
    // Body on success: {"reply": "<text>"} or {"reply": null}.
    virtual Outcome parentRequest(const std::string& component, const std::string& key) = 0;
    virtual Outcome controlEvent(const std::string& component, const std::string& control,
                                 const std::string& key) = 0;
    // Runs the simulated clock forward to `ms` since the start; timers tick.
    virtual void advanceTo(std::int64_t ms) = 0;
    virtual std::int64_t now() const = 0;
    // Where events go, from now on (null: nowhere). Changes are gathered
    // and published as one batch by flushEvents, which the outlet is asked
    // to run once the work at hand is done.
    virtual void setEventOutlet(class EventOutlet* outlet) { (void)outlet; }
    // Publishes what was gathered since the last call, if anything.
    virtual void flushEvents() {}
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
    // Lights every open view for `seconds` (POST /api/lamp-test), so that
    // each operator can see that their lamp works and is the one they think.
    virtual Outcome lampTest(std::int32_t seconds);
};

inline Outcome LiveBackend::lampTest(std::int32_t) {
    Outcome outcome;
    outcome.status = 409;
    outcome.body = {{"error", "this host has no lamp test"}};
    return outcome;
}

inline Outcome LiveBackend::setRecording(bool) {
    Outcome outcome;
    outcome.status = 409;
    outcome.body = {{"error", "this host keeps no recording"}};
    return outcome;
}

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_LIVE_BACKEND_H
