// recording_host.h - a fake control-panel host for tests.
//
// Logs every notify call a script makes, answers commands with scripted
// replies, and checks the reply rule: every reply it gives is a fresh heap
// text, handed back at most once, and only for the three reading commands
// ("TG", "XI", "SD"), which must hand back every reply they get.
#ifndef RECORDING_HOST_H
#define RECORDING_HOST_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vesk_host_abi.h"

class RecordingHost : public vesk_client_callback {
public:
    ~RecordingHost() override;

    char* notify(void* data, int type) override;

    // Answers the exact command `command` with `reply` (nullopt: a null reply).
    void reply(const std::string& command, std::optional<std::string> text);
    // Answers every command starting with `prefix` that has no exact reply.
    void replyPrefix(const std::string& prefix, std::optional<std::string> text);

    // Commands received (type 0), in order.
    std::vector<std::string> commands;
    // Commands received since the last clear().
    void clear() { commands.clear(); }

    // Problems with the reply rule seen so far, as readable texts.
    std::vector<std::string> violations() const;
    // Replies to reading commands that were never handed back.
    int outstandingReplies() const;
    int releasedCount() const { return released_; }

private:
    std::map<std::string, std::optional<std::string>> exact_;
    std::vector<std::pair<std::string, std::optional<std::string>>> prefixes_;
    std::map<const void*, std::string> live_;  // reply -> command it answered
    std::vector<char*> kept_;                  // replies never to be handed back
    std::vector<std::string> violations_;
    bool closed_ = false;
    int released_ = 0;
};

// Builders of the records a host passes with notifications.
driverUpdateRecord makeDriverUpdate(int device, int index, int state, const std::string& text);

// Owns a decoded event key and the control-event record pointing at it.
class ControlEvent {
public:
    ControlEvent(const char* id, const char* name, const char* value);
    controlEventRecord* record() { return &record_; }

private:
    std::string id_, name_, value_;
    decodedKeyRecord key_{};
    controlEventRecord record_{};
};

// Passes a notification to a script.
char* sendParentRequest(vesk_client_callback& script, const char* key);
std::string parentRequestText(vesk_client_callback& script, const char* key);
void sendTimer(vesk_client_callback& script, int timerId);

#endif  // RECORDING_HOST_H
