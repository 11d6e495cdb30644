// bench_hosts.h - the hosts the benchmark hands to the component.
//
// Both answer instance lookups ("SD '<name>'") from a small table, so that a
// component can be set up through its parent requests. CountingHost does
// nothing else with a command but count it: it stands for a host whose own
// work costs nothing. TranscriptHost keeps every command text, for the
// checks that run before anything is measured.
#ifndef VARNIK_BENCH_HOSTS_H
#define VARNIK_BENCH_HOSTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vesk_host_abi.h"

// Answers to "SD '<name>'": the device number and the slot offset.
class InstanceTable {
public:
    void add(const std::string& name, const std::string& reply) { replies_[name] = reply; }
    // The reply to an SD command, or null for an unknown name or another
    // command. The text stays the table's: a script hands it back with
    // type 5 and the table keeps it.
    char* answer(const char* command);

private:
    std::map<std::string, std::string> replies_;
};

class CountingHost final : public vesk_client_callback {
public:
    explicit CountingHost(InstanceTable& instances) : instances_(instances) {}

    char* notify(void* data, int type) override {
        if (type != VESK_NOTIFY_COMMAND) return nullptr;  // replies handed back stay ours
        ++commands;
        const char* text = static_cast<const char*>(data);
        if (text[0] == 'S' && text[1] == 'D' && text[2] == ' ') return instances_.answer(text);
        return nullptr;
    }

    std::uint64_t commands = 0;

private:
    InstanceTable& instances_;
};

class TranscriptHost final : public vesk_client_callback {
public:
    explicit TranscriptHost(InstanceTable& instances) : instances_(instances) {}
    char* notify(void* data, int type) override;

    std::vector<std::string> commands;

private:
    InstanceTable& instances_;
};

#endif  // VARNIK_BENCH_HOSTS_H
