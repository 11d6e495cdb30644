// connection.h - one component in the facility, as its host sees it.
//
// A Connection is the callback object handed to the component's factory, so
// every command arrives with its sender known. It holds what belongs to that
// component alone: the plug-in object, its panels (each with its own control
// state over a shared layout), the replies it has not handed back yet, the
// logs that expectations look at, and whether it asked to end.
//
// Replies: the texts answering "TG", "XI" and "SD" are fresh heap texts that
// the plug-in hands back with type 5; the host frees them then and reports
// any that never came back. The reply to "PS" is a host-owned text that is
// never expected back.
#ifndef VESK_HOST_CONNECTION_CONNECTION_H
#define VESK_HOST_CONNECTION_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/command_log.h"
#include "facility/layout_cache.h"
#include "facility/routing_index.h"
#include "facility/timeline.h"
#include "text/host_parsers.h"
#include "plugins/plugin_object.h"
#include "vesk_host_abi.h"

namespace vhost {

class Facility;

struct Panel {
    std::string file;
    std::shared_ptr<const LoadedLayout> shared;  // the parsed file, shared between components
    Layout layout;                               // this panel's own control state
};

class Connection : public vesk_client_callback {
public:
    Connection(Facility& facility, std::size_t number, std::string name, vesk_factory_fn factory,
               std::string panelPath, std::string plugin);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Called by the plug-in: commands (type 0) and replies handed back (type 5).
    char* notify(void* data, int type) override;

    const std::string& name() const { return name_; }
    const std::string& plugin() const { return plugin_; }
    std::size_t number() const { return number_; }
    // Counts the lives of the component: each create starts a new one.
    std::uint64_t life() const { return life_; }
    bool alive() const { return object_ != nullptr; }

    // Creates the component; false when the factory gave none.
    bool create();
    void destroy();

    // Things a front end makes happen; each returns once the facility has
    // handled everything that followed.
    std::optional<std::string> parentRequest(const std::string& key);
    void controlEvent(const std::string& control, const std::string& key);
    // Called by the facility.
    void timerTick(std::int32_t id);
    void deliver(Driver driver, std::int32_t device, std::int32_t index, std::int32_t state,
                 std::string_view text);
    void takeDiagnostics(const std::string& text);
    // Ends the component if it asked to (AS) during a call; true if it did.
    bool endIfRequested();

    // How many commands and messages the logs keep (0: none, for runs that
    // check nothing; a full log takes new entries without allocating).
    void setLogCapacity(std::size_t capacity) {
        commands_.setCapacity(capacity);
        diagnostics_.setCapacity(capacity);
    }

    // State, for checks and display.
    const BoundedLog& commands() const { return commands_; }
    const BoundedLog& diagnostics() const { return diagnostics_; }
    const std::map<std::string, Panel>& panels() const { return panels_; }
    // Looks in every loaded panel, by id without regard to case.
    const Control* findControl(const std::string& id) const;
    bool timerRunning(std::int32_t id) const;
    std::uint64_t deliveredUpdates() const { return delivered_; }
    void showPanels();
    void showTimers();
    // Reports replies never handed back and frees them.
    void finish();

private:
    void event(EventKind kind, const std::string& text);
    void note(const std::string& text);
    void warn(const std::string& text);
    void fault(const std::string& text);
    template <typename Call>
    void call(Call&& call);

    char* execute(std::string_view text);
    char* freshReply(const std::string& text, const std::string& command);
    char* loadPanel(const CommandView& command);
    char* putTextCommand(const CommandView& command);
    char* putText(std::string_view assignment, std::string_view panelId, std::string_view controlId);
    char* getText(const CommandView& command);
    char* listControls(const CommandView& command);
    char* lookUp(const CommandView& command);
    void forgetShownControl() {
        shown_.control = nullptr;
        shown_.value = nullptr;
        shown_.text = nullptr;
    }
    void timer(std::int32_t id, std::int32_t interval);

    Facility& facility_;
    std::size_t number_;
    std::string name_;
    vesk_factory_fn factory_;
    std::string panelPath_;
    std::string plugin_;
    std::unique_ptr<PluginObject> object_;
    std::uint64_t life_ = 0;
    bool destroying_ = false;
    bool endRequested_ = false;
    std::uint64_t delivered_ = 0;

    std::map<std::string, Panel> panels_;
    std::map<const char*, std::string> liveReplies_;  // reply -> command it answered
    // The control the last TP set, by the ids it named, and the value of
    // the property it set; forgotten when panels are loaded or dropped.
    struct ShownControl {
        std::string panelId;
        std::string controlId;
        std::string id;  // control->id, as the layout names it
        const std::string* panelKey = nullptr;
        Control* control = nullptr;
        std::string property;
        std::string* value = nullptr;  // in control->properties
        const std::string* text = nullptr;  // its "text" property, in control->properties; null: none
    } shown_;
    BoundedLog commands_;
    BoundedLog diagnostics_;
    static char acknowledgement_[];
};

}  // namespace vhost

#endif  // VESK_HOST_CONNECTION_CONNECTION_H
