// simulated_host.h - the host's side of every command, on a simulated clock.
//
// SimulatedHost is the callback object a plug-in talks to. It keeps the
// panels that the plug-in loaded, the instances, info slots and GPI inputs
// of the environment, the plug-in's registrations and its timers.
//
// Calls into the plug-in happen one at a time and never from inside a
// command: driver updates that a command or a manual force causes are
// queued and delivered once the current call into the plug-in has returned,
// and timer ticks are delivered only while the clock is advanced.
//
// Replies: the texts answering "TG", "XI" and "SD" are fresh heap texts that
// the plug-in hands back with type 5; the host frees them then and reports
// any that never came back. The reply to "PS" is a host-owned text that is
// never expected back.
#ifndef VESK_HOST_SIMULATED_HOST_H
#define VESK_HOST_SIMULATED_HOST_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_parsers.h"
#include "platform/diagnostic_capture.h"
#include "plugins/plugin_object.h"
#include "timeline.h"
#include "vesk_host_abi.h"

namespace vhost {

class SimulatedHost : public vesk_client_callback {
public:
    SimulatedHost(Environment env, Timeline& timeline, bool captureDiagnostics);
    ~SimulatedHost() override;
    SimulatedHost(const SimulatedHost&) = delete;
    SimulatedHost& operator=(const SimulatedHost&) = delete;

    // Called by the plug-in: commands (type 0) and replies handed back (type 5).
    char* notify(void* data, int type) override;

    // Creates a component with the factory; false when the factory gave none.
    bool create(vesk_factory_fn factory, const std::string& panelPath);
    // Creates a new component with the factory and panel folder of the last create().
    bool recreate();
    void destroy();
    bool hasComponent() const { return component_ != nullptr; }

    // Things the scenario makes happen. Each returns once the plug-in has
    // handled everything that followed from it.
    std::optional<std::string> parentRequest(const std::string& key);
    void controlEvent(const std::string& control, const std::string& key);
    void forceGpi(std::int32_t device, std::int32_t input, std::int32_t state);
    void forceInfo(std::int32_t device, std::int32_t slot, const std::string& text);
    void advance(std::int64_t ms);

    // State, for checks and display.
    const std::vector<std::string>& commands() const { return commands_; }
    const std::vector<std::string>& diagnostics() const { return diagnostics_; }
    // Looks in every loaded panel, by id without regard to case.
    const Control* findControl(const std::string& id) const;
    std::string infoText(std::int32_t device, std::int32_t slot) const;
    std::int32_t gpiState(std::int32_t device, std::int32_t input) const;
    bool timerRunning(std::int32_t id) const { return timers_.count(id) != 0; }
    std::int64_t now() const { return now_; }

    void showPanels();
    void showSlots();
    // Ends the run: destroys a live component and reports replies never handed back.
    void finish();

    // Deliveries per scenario step before the host assumes a feedback loop.
    static const int maxDeliveriesPerStep = 10000;

private:
    struct Update {
        bool gpi;
        std::int32_t device;
        std::int32_t index;
        std::int32_t state;
        std::string text;
    };
    struct Timer {
        std::int32_t interval;
        std::int64_t due;
    };
    struct Panel {
        std::string file;
        Layout layout;
    };
    using Ranges = std::map<std::int32_t, std::vector<std::pair<std::int32_t, std::int32_t>>>;

    template <typename Call>
    void callPlugin(Call&& call);
    void pump();
    void drainDiagnostics();
    void note(const std::string& text) { timeline_.event(EventKind::Host, text); }
    void fault(const std::string& text) { timeline_.event(EventKind::Failure, text); }

    char* execute(const std::string& text);
    char* freshReply(const std::string& text, const std::string& command);
    char* loadPanel(const HostCommand& command);
    char* putText(const HostCommand& command);
    char* getText(const HostCommand& command);
    char* listControls(const HostCommand& command);
    char* lookUp(const HostCommand& command);
    void registerSlots(const HostCommand& command, bool gpi);
    void poll(const HostCommand& command, bool gpi);
    void writeInfo(const HostCommand& command);
    void timer(const HostCommand& command);
    static bool registered(const Ranges& ranges, std::int32_t device, std::int32_t index);
    void queueUpdate(bool gpi, std::int32_t device, std::int32_t index);

    Environment env_;
    Timeline& timeline_;
    DiagnosticCapture capture_;
    std::unique_ptr<PluginObject> component_;
    vesk_factory_fn factory_ = nullptr;
    std::string panelPath_;
    bool inCall_ = false;
    bool destroying_ = false;
    bool endRequested_ = false;
    std::int64_t now_ = 0;

    std::map<std::string, Panel> panels_;
    Ranges infoRegistrations_;
    Ranges gpiRegistrations_;
    std::map<std::int32_t, Timer> timers_;
    std::deque<Update> queue_;
    std::map<const char*, std::string> liveReplies_;  // reply -> command it answered
    std::vector<std::string> commands_;
    std::vector<std::string> diagnostics_;
    std::string pendingDiagnostic_;
    static char acknowledgement_[];
};

}  // namespace vhost

#endif  // VESK_HOST_SIMULATED_HOST_H
