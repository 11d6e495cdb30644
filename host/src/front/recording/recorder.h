// recorder.h - a live rehearsal, written down as a scenario that replays it.
//
// Every action that reaches the running facility from outside (a forced
// GPI input or info slot, a parent parameter, a control event) becomes the
// scenario step that does the same, preceded by "advance N", the facility
// time since the action before. The live facility applies each action at
// the time the recording states, so a replay ticks the same timers between
// the same actions and sees the same commands.
//
// While recording is on, each step is followed by the outcome it had, as
// expectations: the commands every component sent in answer, the info
// slots they wrote, the Tally controls that changed, the reply to a
// parameter. While it is off, steps are still written (without
// expectations), so that a replay always reaches the same state.
//
// A packet of a mixer's burst (an action `ofABurst`) is written once the
// burst is over: the lamps its packets light go out first. writeLater, when
// set, asks for writeDone to run then; without it, and for every other
// action (a request from the page), an action is written as it ends.
//
// The recording starts with a "config" line naming the environment and a
// copy of the scenario that ran before serving, so it replays with no
// options. Written to a file, the lines are flushed as they are written;
// without one, the newest recording is kept in memory up to a limit, after
// which it stops and says so.
//
// The file must be a regular file or a new one: a device, a pipe, a folder
// or a symbolic link is refused before anything is written. The recording
// is read back (for a download) a piece at a time, and never past the bytes
// this run wrote, whatever else the file holds or gains.
#ifndef VESK_HOST_FRONT_RECORDING_RECORDER_H
#define VESK_HOST_FRONT_RECORDING_RECORDER_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "facility/facility.h"
#include "facility/timeline.h"

namespace vhost {

struct RecordingStart {
    std::string file;          // --record FILE, or empty: in memory only
    std::string configPath;    // the environment the facility runs with, or empty
    std::string scenarioPath;  // the scenario that ran before serving, or empty
    std::string pluginNote;    // a --plugin other than the default, or empty
};

class Recorder : public CommandTap {
public:
    // The most kept in memory when there is no file, in pieces of
    // `memoryPiece` bytes (a long run never copies it whole). Every piece
    // but the last is full.
    static constexpr std::size_t memoryLimit = 4 * 1024 * 1024;
    static constexpr std::size_t memoryPiece = 64 * 1024;
    // The longest gap one "advance" line states; a longer one is split, so
    // that every line reads back as a number.
    static constexpr std::int64_t longestAdvance = 2147483647;
    // The most of the commands one action's components sent that are
    // kept to be written as expectations; the rest are counted and said.
    static constexpr std::size_t mostSentPerAction = 1024 * 1024;

    // Whether `path` may take a recording: a new file, or a regular one,
    // which is then replaced (`replaces`). Otherwise false, with `error`
    // naming the path and what it is.
    static bool checkFile(const std::string& path, bool& replaces, std::string& error);

    Recorder(Facility& facility, Timeline& timeline) : facility_(facility), timeline_(timeline) {}
    ~Recorder() override;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Writes the head of the recording; with a file, recording is on from
    // the start. False, with `error`, when the file cannot be written.
    bool start(const RecordingStart& start, std::string& error);

    // Asks for writeDone() once the work at hand is done; false when it
    // cannot (the action is then written at once).
    void setWriteLater(std::function<bool()> later) { writeLater_ = std::move(later); }
    // Writes the actions that have ended.
    void writeDone();

    // The "record" switch: whether outcomes are written as expectations.
    void setRecording(bool on);
    bool recording() const { return on_; }
    const std::string& file() const { return file_; }
    // The bytes recorded so far: written to the file and flushed this run,
    // or kept in memory.
    std::size_t size() const { return size_; }
    // Up to `max` of them from `offset`: fewer at the end, and fewer or none
    // when the file no longer holds them (cut short by someone else).
    std::string read(std::size_t offset, std::size_t max) const;

    // One action from outside, from its creation to its end. `component`
    // is the component it talks to (empty for GPI and info forces); `step`
    // its scenario step without the component. Null `recorder`: nothing.
    class Action {
    public:
        Action(Recorder* recorder, const std::string& component, const std::string& step,
               bool ofABurst = false);
        ~Action();
        Action(const Action&) = delete;
        Action& operator=(const Action&) = delete;
        void reply(const std::optional<std::string>& reply);
        // An info force: the forced text of its own slot is no outcome.
        void forcedSlot(std::int32_t device, std::int32_t slot, const std::string& text);

    private:
        Recorder* recorder_;
    };

    // What the facility reports while an action runs. `key` names the
    // control (its address, say) for as long as the action runs.
    void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text);
    void controlChanged(std::uint64_t key, const Connection& component, const std::string& control,
                        const std::string& text);
    // CommandTap: the commands the components send while an action runs.
    void sent(const Connection& from, std::string_view command) override;

    // Scenario steps of the actions.
    static std::string gpiStep(std::int32_t device, std::int32_t input, std::int32_t state);
    static std::string infoStep(std::int32_t device, std::int32_t slot, const std::string& text);
    static std::string paramStep(const std::string& key);
    static std::string eventStep(const std::string& control, const std::string& key);

private:
    // What an action wrote, as it was written (a repeat of the write just
    // before replaces it). Written out once per slot or control, in the
    // order first written, with the newest text.
    struct SlotWrite {
        std::uint64_t key;
        std::int32_t device;
        std::int32_t slot;
        std::string text;
    };
    struct ControlWrite {
        std::uint64_t key = 0;
        std::size_t component = 0;  // its number in the facility
        std::string control;
        std::string text;
    };
    struct Pending {
        std::string component;
        std::string step;
        std::int64_t gap = 0;  // facility time since the action before
        // The commands sent while it ran: who sent each, and where it ends
        // in `sentText`; past mostSentPerAction only counted.
        std::vector<std::pair<std::size_t, std::size_t>> sent;
        std::string sentText;
        std::size_t sentLeftOut = 0;
        bool checked = false;              // recording was on: its outcomes are written
        bool ofABurst = false;             // written when the burst is over
        std::size_t componentsBefore = 0;  // those added during the action are not checked
        std::vector<SlotWrite> slots;
        std::vector<ControlWrite> controls;
        std::optional<std::optional<std::string>> reply;
        std::optional<SlotWrite> forced;
    };
    void begin(const std::string& component, const std::string& step, bool ofABurst);
    void end();
    void writeAction(const Pending& action);
    // For each key of `writes` (the first and the last of its writes), in
    // the order first written.
    template <typename Write>
    const std::vector<std::pair<std::size_t, std::size_t>>& firstAndLast(
        const std::vector<Write>& writes);
    Pending& current() { return actions_[actionsUsed_ - 1]; }
    void write(std::string_view line);
    void keepInMemory(std::string_view line);
    // Lines go to the file in one write per action, not one per line.
    void flushFile();

    Facility& facility_;
    Timeline& timeline_;
    std::string file_;
    std::ofstream out_;
    mutable std::ifstream in_;  // the same file, opened once: a download reads what was written
    bool fileFailed_ = false;
    std::vector<std::string> memory_;
    std::size_t size_ = 0;
    std::string unflushed_;  // lines for the file, not yet written
    std::string line_;       // the line being made, kept for its room
    bool full_ = false;
    bool on_ = false;
    std::int64_t last_ = 0;  // facility time of the action before
    // The actions not yet written, in order, the last one still running
    // when `running_`. Their tables are cleared, not freed: a steady run of
    // actions allocates nothing for them.
    std::vector<Pending> actions_;
    std::size_t actionsUsed_ = 0;
    bool running_ = false;
    std::function<bool()> writeLater_;
    std::vector<std::pair<std::uint64_t, std::size_t>> byKey_;       // scratch of firstAndLast
    std::vector<std::pair<std::size_t, std::size_t>> firstAndLast_;  // its answer
    std::vector<std::size_t> order_;  // scratch of writeAction
};

}  // namespace vhost

#endif  // VESK_HOST_FRONT_RECORDING_RECORDER_H
