// ms_host - a host that sees plug-in objects the way a host built with
// Microsoft's compiler does, written without the framework's layout code.
//
//   ms_host PLUGIN.dll
//
// Its own object is a pointer to a table of two slots: the scalar deleting
// destructor (this, flags), then notify (this, data, type), both thiscall
// on 32-bit x86. It loads the plug-in, creates a component with the factory,
// runs a whole tally life through slot 1 of the component's table and ends
// it through slot 0 with flags 1, checking every command byte for byte.
//
// Exit status: 0 when the life went as expected, 1 when it did not, 3 when
// the plug-in called past the two slots of the host's table (it was built
// with its compiler's own object layout), 2 on a usage or load error.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The records and notification numbers only; no object layout of the framework.
#define VESK_MS_LAYOUT 0
#include "vesk_host_abi.h"

#if defined(__i386__)
#define MS_THISCALL __attribute__((thiscall))
#else
#define MS_THISCALL
#endif
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wattributes"  // thiscall on plain functions is the point
#endif

namespace {

struct Object;
typedef void*(MS_THISCALL* DestroySlot)(Object* self, unsigned int flags);
typedef char*(MS_THISCALL* NotifySlot)(Object* self, void* data, int type);

struct Table {
    DestroySlot destroy;
    NotifySlot notify;
};

struct Object {
    const Table* table;
};

// The host's table, with traps behind it: they are not part of the layout,
// they only catch a plug-in that reads a third or fourth slot.
struct HostTable {
    Table table;
    NotifySlot beyond[2];
};

std::vector<std::string> commands;    // received since the last step
std::vector<char*> liveReplies;       // handed to the plug-in, not yet back
std::vector<std::string> violations;  // breaches of the interface

void* MS_THISCALL hostDestroy(Object* self, unsigned int) {
    violations.push_back("the plug-in called the host's destructor");
    return self;
}

char* replyTo(const std::string& command) {
    const char* text = command == "SD 'cam1'" ? "3 7" : command == "SD 'desk'" ? "12 17" : nullptr;
    if (text == nullptr) return nullptr;
    char* reply = new char[std::strlen(text) + 1];
    std::strcpy(reply, text);
    liveReplies.push_back(reply);
    return reply;
}

char* MS_THISCALL hostNotify(Object*, void* data, int type) {
    if (type == VESK_NOTIFY_RELEASE) {
        for (auto it = liveReplies.begin(); it != liveReplies.end(); ++it) {
            if (*it == data) {
                delete[] *it;
                liveReplies.erase(it);
                return nullptr;
            }
        }
        violations.push_back("handed back a text that is no live reply");
        return nullptr;
    }
    if (type != VESK_NOTIFY_COMMAND || data == nullptr) {
        violations.push_back("notify with type " + std::to_string(type));
        return nullptr;
    }
    commands.push_back(static_cast<const char*>(data));
    return replyTo(commands.back());
}

template <int Slot>
char* MS_THISCALL beyondTheTable(Object*, void*, int) {
    std::printf("ms_host: the plug-in called slot %d of the host's two-slot table: its objects "
                "are not in Microsoft's layout\n", Slot);
    std::fflush(stdout);
    ::ExitProcess(3);
}

const HostTable hostTable = {{hostDestroy, hostNotify}, {beyondTheTable<2>, beyondTheTable<3>}};
Object host = {&hostTable.table};

typedef Object* (*Factory)(Object* host, const char* panelPath);

int failures = 0;

void expect(const char* step, const std::vector<std::string>& wanted) {
    if (commands != wanted) {
        ++failures;
        std::printf("FAIL  %s\n  sent:", step);
        for (const auto& c : commands) std::printf(" [%s]", c.c_str());
        std::printf("\n  expected:");
        for (const auto& c : wanted) std::printf(" [%s]", c.c_str());
        std::printf("\n");
    } else {
        std::printf("ok    %s\n", step);
    }
    commands.clear();
}

// A parent request; the plug-in's reply (its own text) is copied and handed back.
std::string request(Object* component, const char* key) {
    std::vector<char> text(key, key + std::strlen(key) + 1);
    char* reply = component->table->notify(component, text.data(), VESK_NOTIFY_PARENT_REQUEST);
    if (reply == nullptr) return std::string();
    const std::string copy(reply);
    component->table->notify(component, reply, VESK_NOTIFY_RELEASE);
    return copy;
}

void update(Object* component, int device, int index, int state) {
    driverUpdateRecord record;
    std::memset(&record, 0, sizeof record);
    record.device = device;
    record.index = index;
    record.state = state;
    component->table->notify(component, &record, VESK_NOTIFY_DRIVER_UPDATE);
}

// The plug-in reads the kind of each instance from the file named by VESK_CONFIG.
std::string writeConfiguration() {
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (::GetTempPathA(MAX_PATH, folder) == 0 || ::GetTempFileNameA(folder, "msh", 0, path) == 0) {
        return std::string();
    }
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) return std::string();
    std::fputs("[instances.cam1]\ndrvtype = G\n[instances.desk]\ndrvtype = i\n", file);
    std::fclose(file);
    const std::string assignment = std::string("VESK_CONFIG=") + path;
    ::_putenv(assignment.c_str());
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ms_host PLUGIN.dll\n");
        return 2;
    }
    const std::string config = writeConfiguration();
    HMODULE module = ::LoadLibraryA(argv[1]);
    FARPROC symbol = module != nullptr ? ::GetProcAddress(module, VESK_FACTORY_SYMBOL) : nullptr;
    if (config.empty() || symbol == nullptr) {
        std::fprintf(stderr, "ms_host: cannot load %s or its factory (error %lu)\n", argv[1],
                     static_cast<unsigned long>(::GetLastError()));
        return 2;
    }
    Factory factory;
    std::memcpy(&factory, &symbol, sizeof factory);

    Object* component = factory(&host, "panels");
    if (component == nullptr) {
        std::printf("FAIL  the factory returned no component\n");
        return 1;
    }
    expect("created: panel shown", {"PS '1' 'panels/varnik.vesk_ui'"});
    request(component, "instance=cam1");
    expect("instance=cam1",
           {"SD 'cam1'", "TP 'text=GPI' '1' 'DeviceType'", "TP 'text=3' '1' 'SrcDev'",
            "TP 'text=7' '1' 'SrcIndex'", "GR 3 7 7", "ET 1 500"});
    request(component, "setslot=desk");
    expect("setslot=desk", {"SD 'desk'", "TP 'text=17' '1' 'Addr'"});
    request(component, "slotoffset=3");
    request(component, "tally_on=1");
    request(component, "tally_val=2");
    expect("slotoffset, tally_on, tally_val", {"TP 'text=1' '1' 'AlarmTest'"});
    component->table->notify(component, reinterpret_cast<void*>(std::intptr_t{1}), VESK_NOTIFY_TIMER);
    expect("timer 1: registered and polled", {"GR 3 7 7", "GP 3 7 7", "ET 1"});
    update(component, 3, 7, 1);
    expect("gpi 3.7 on", {"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"});
    update(component, 3, 7, 0);
    expect("gpi 3.7 off", {"IW 12 '0' 20 0", "TP 'text=0' '1' 'Tally'"});
    update(component, 3, 8, 1);
    expect("another input: ignored", {});
    const std::string settings = request(component, "return=all");
    expect("return=all: no command", {});
    if (settings != "monitoring=\nsetslot=desk\nslotoffset=3\ntally_on=1\ntally_val=2") {
        ++failures;
        std::printf("FAIL  return=all answered \"%s\"\n", settings.c_str());
    }
    void* returned = component->table->destroy(component, 1);
    expect("deleted through the scalar deleting destructor", {"AS"});
    if (returned != component) {
        ++failures;
        std::printf("FAIL  the scalar deleting destructor did not return its object\n");
    }

    for (const auto& v : violations) std::printf("FAIL  %s\n", v.c_str());
    if (!liveReplies.empty()) {
        std::printf("FAIL  %lu replies never handed back\n",
                    static_cast<unsigned long>(liveReplies.size()));
    }
    failures += static_cast<int>(violations.size() + liveReplies.size());
    ::FreeLibrary(module);
    std::remove(config.c_str());
    std::printf("ms_host: %s\n", failures == 0 ? "the tally life held" : "the tally life failed");
    return failures == 0 ? 0 : 1;
}
