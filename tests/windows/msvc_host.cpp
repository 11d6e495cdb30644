// msvc_host - a host compiled for the Microsoft C++ ABI (clang++ with an
// *-pc-windows-msvc target), so that its objects and its calls into the
// plug-in's objects have Microsoft's layout and calling conventions by the
// compiler's own rules: nothing of the framework's layout code is involved.
//
//   msvc_host PLUGIN.dll
//
// It has no C runtime: its own entry point, kernel32 only (through an import
// library made from kernel32.def), its own operator new/delete on the process
// heap. It writes a configuration, loads the plug-in, creates a component
// with the factory, runs a whole tally life through virtual calls and ends
// the component with delete (the scalar deleting destructor), checking every
// command byte for byte.
//
// Exit status: 0 when the life went as expected, 1 when it did not, 2 on a
// usage or load error, 3 when the plug-in called past the interface's two
// slots of the host's table or faulted (its objects are in another layout).

// The interface as declared for every host; the freestanding folder supplies
// the two standard headers it includes.
#include "vesk_host_abi.h"

// ---- kernel32, declared here: there are no Windows headers ---------------

typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define WINAPI __stdcall

extern "C" {
__declspec(dllimport) HANDLE WINAPI GetStdHandle(DWORD which);
__declspec(dllimport) BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size,
                                            DWORD* written, void* overlapped);
__declspec(dllimport) BOOL WINAPI SetEnvironmentVariableA(const char* name, const char* value);
__declspec(dllimport) HANDLE WINAPI CreateFileA(const char* path, DWORD access, DWORD share,
                                                void* security, DWORD disposition, DWORD flags,
                                                HANDLE model);
__declspec(dllimport) BOOL WINAPI CloseHandle(HANDLE handle);
__declspec(dllimport) BOOL WINAPI DeleteFileA(const char* path);
__declspec(dllimport) DWORD WINAPI GetTempPathA(DWORD size, char* buffer);
__declspec(dllimport) unsigned WINAPI GetTempFileNameA(const char* folder, const char* prefix,
                                                       unsigned unique, char* path);
__declspec(dllimport) void* WINAPI LoadLibraryExA(const char* path, HANDLE reserved, DWORD flags);
__declspec(dllimport) void* WINAPI GetProcAddress(void* module, const char* name);
__declspec(dllimport) BOOL WINAPI FreeLibrary(void* module);
__declspec(dllimport) __declspec(noreturn) void WINAPI ExitProcess(unsigned status);
__declspec(dllimport) HANDLE WINAPI GetProcessHeap();
__declspec(dllimport) void* WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t size);
__declspec(dllimport) BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void* block);
__declspec(dllimport) char* WINAPI GetCommandLineA();
__declspec(dllimport) DWORD WINAPI GetLastError();
__declspec(dllimport) void* WINAPI SetUnhandledExceptionFilter(long(WINAPI* filter)(void*));
}

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define GENERIC_WRITE 0x40000000ul
#define CREATE_ALWAYS 2
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_HANDLE ((HANDLE)(intptr_t)-1)
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x8

// ---- what a C runtime would give -------------------------------------------

extern "C" {
void* memset(void* target, int value, size_t size) {
    unsigned char* p = static_cast<unsigned char*>(target);
    while (size-- != 0) *p++ = static_cast<unsigned char>(value);
    return target;
}
void* memcpy(void* target, const void* source, size_t size) {
    unsigned char* p = static_cast<unsigned char*>(target);
    const unsigned char* q = static_cast<const unsigned char*>(source);
    while (size-- != 0) *p++ = *q++;
    return target;
}
size_t strlen(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}
}

void* operator new(size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (block == nullptr) ExitProcess(2);
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* block) noexcept {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete[](void* block, size_t) noexcept { operator delete(block); }

namespace {

void write(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
              nullptr);
}

void writeNumber(unsigned long value) {
    char digits[24];
    char* p = digits + sizeof digits;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    write(p);
}

bool same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

char* copyOf(const char* text) {
    const size_t size = strlen(text) + 1;
    char* copy = new char[size];
    memcpy(copy, text, size);
    return copy;
}

__declspec(noreturn) void trapped(const char* why) {
    write("msvc_host: ");
    write(why);
    write(": the plug-in's objects are not in Microsoft's layout\n");
    ExitProcess(3);
}

long WINAPI onFault(void*) { trapped("a fault in the plug-in"); }

// ---- the host's object ----------------------------------------------------

const int kMaxCommands = 16;
char* commands[kMaxCommands];  // received since the last step
int commandCount = 0;
char* liveReplies[kMaxCommands];  // handed to the plug-in, not yet back
int liveCount = 0;
int failures = 0;

void fail(const char* what) {
    ++failures;
    write("FAIL  ");
    write(what);
    write("\n");
}

class HostObject final : public vesk_client_callback {
public:
    ~HostObject() override { fail("the host's object was ended"); }

    char* notify(void* data, int type) override {
        if (type == VESK_NOTIFY_RELEASE) {
            for (int i = 0; i < liveCount; ++i) {
                if (liveReplies[i] == data) {
                    delete[] liveReplies[i];
                    liveReplies[i] = liveReplies[--liveCount];
                    return nullptr;
                }
            }
            fail("handed back a text that is no live reply");
            return nullptr;
        }
        if (type != VESK_NOTIFY_COMMAND || data == nullptr) {
            fail("a notification of another type than a command");
            return nullptr;
        }
        const char* command = static_cast<const char*>(data);
        if (commandCount == kMaxCommands) {
            fail("too many commands in one step");
            return nullptr;
        }
        commands[commandCount++] = copyOf(command);
        const char* answer = same(command, "SD 'cam1'")   ? "3 7"
                             : same(command, "SD 'desk'") ? "12 17"
                                                          : nullptr;
        if (answer == nullptr) return nullptr;
        char* reply = copyOf(answer);
        liveReplies[liveCount++] = reply;
        return reply;
    }

    // Not part of the interface: only a plug-in that lays out the table
    // otherwise (two destructor slots first) reaches these.
    virtual char* beyond2(void*, int) { trapped("it called slot 2 of the host's table"); }
    virtual char* beyond3(void*, int) { trapped("it called slot 3 of the host's table"); }
};

void expect(const char* step, const char* const* wanted, int count) {
    bool equal = commandCount == count;
    for (int i = 0; equal && i < count; ++i) equal = same(commands[i], wanted[i]);
    if (equal) {
        write("ok    ");
        write(step);
        write("\n");
    } else {
        fail(step);
        write("  sent:");
        for (int i = 0; i < commandCount; ++i) write(" ["), write(commands[i]), write("]");
        write("\n  expected:");
        for (int i = 0; i < count; ++i) write(" ["), write(wanted[i]), write("]");
        write("\n");
    }
    for (int i = 0; i < commandCount; ++i) delete[] commands[i];
    commandCount = 0;
}

template <int N>
void expect(const char* step, const char* const (&wanted)[N]) {
    expect(step, wanted, N);
}

// A parent request in a fresh heap text; the plug-in's reply is checked
// against `answer` (null: none) and handed back with type 5.
void request(vesk_client_callback* component, const char* key, const char* answer = nullptr) {
    char* text = copyOf(key);
    char* reply = component->notify(text, VESK_NOTIFY_PARENT_REQUEST);
    delete[] text;
    if (answer == nullptr ? reply != nullptr : reply == nullptr || !same(reply, answer)) {
        fail(key);
        write("  answered: ");
        write(reply != nullptr ? reply : "(none)");
        write("\n");
    }
    if (reply != nullptr) component->notify(reply, VESK_NOTIFY_RELEASE);
}

void update(vesk_client_callback* component, int device, int index, int state) {
    driverUpdateRecord record;
    memset(&record, 0, sizeof record);
    record.device = device;
    record.index = index;
    record.state = state;
    component->notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
}

// The plug-in reads the kind of each instance from the file named by VESK_CONFIG.
bool writeConfiguration(char (&path)[260]) {
    char folder[260];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "mvh", 0, path) == 0) {
        return false;
    }
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE) return false;
    const char text[] = "[instances.cam1]\ndrvtype = G\n[instances.desk]\ndrvtype = i\n";
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);
    return wrote && written == sizeof text - 1 && SetEnvironmentVariableA("VESK_CONFIG", path);
}

// The first argument of the command line, without quotes.
char* pluginArgument() {
    char* p = GetCommandLineA();
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p) {}
        if (*p == '"') ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    char* argument = p;
    if (*p == '"') {
        argument = ++p;
        while (*p != '\0' && *p != '"') ++p;
        *p = '\0';
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
        if (*p != '\0') *p++ = '\0';
        while (*p == ' ' || *p == '\t') ++p;
        if (*p != '\0') return nullptr;
    }
    return *argument != '\0' ? argument : nullptr;
}

int run() {
    SetUnhandledExceptionFilter(onFault);
    const char* plugin = pluginArgument();
    if (plugin == nullptr) {
        write("usage: msvc_host PLUGIN.dll\n");
        return 2;
    }
    char config[260];
    if (!writeConfiguration(config)) {
        write("msvc_host: cannot write the configuration\n");
        return 2;
    }
    void* module = LoadLibraryExA(plugin, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    void* symbol = module != nullptr ? GetProcAddress(module, VESK_FACTORY_SYMBOL) : nullptr;
    if (symbol == nullptr) {
        write("msvc_host: cannot load ");
        write(plugin);
        write(" or its factory (error ");
        writeNumber(GetLastError());
        write(")\n");
        DeleteFileA(config);
        return 2;
    }
    vesk_factory_fn factory;
    memcpy(&factory, &symbol, sizeof factory);

    HostObject* host = new HostObject;
    vesk_client_callback* component = factory(host, "panels");
    if (component == nullptr) {
        fail("the factory returned no component");
        return 1;
    }
    expect("created: panel shown", {"PS '1' 'panels/varnik.vesk_ui'"});
    request(component, "instance=cam1");
    expect("instance=cam1", {"SD 'cam1'", "TP 'text=GPI' '1' 'DeviceType'",
                             "TP 'text=3' '1' 'SrcDev'", "TP 'text=7' '1' 'SrcIndex'",
                             "GR 3 7 7", "ET 1 500"});
    request(component, "setslot=desk");
    expect("setslot=desk", {"SD 'desk'", "TP 'text=17' '1' 'Addr'"});
    request(component, "slotoffset=3");
    request(component, "tally_on=1");
    request(component, "tally_val=2");
    expect("slotoffset, tally_on, tally_val", {"TP 'text=1' '1' 'AlarmTest'"});
    component->notify(reinterpret_cast<void*>(intptr_t{1}), VESK_NOTIFY_TIMER);
    expect("timer 1: registered and polled", {"GR 3 7 7", "GP 3 7 7", "ET 1"});
    update(component, 3, 7, 1);
    expect("gpi 3.7 on", {"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"});
    update(component, 3, 7, 0);
    expect("gpi 3.7 off", {"IW 12 '0' 20 0", "TP 'text=0' '1' 'Tally'"});
    update(component, 3, 8, 1);
    expect("another input: ignored", nullptr, 0);
    request(component, "return=all",
            "monitoring=\nsetslot=desk\nslotoffset=3\ntally_on=1\ntally_val=2");
    expect("return=all: no command", nullptr, 0);
    delete component;  // slot 0, flags 1: the plug-in ends and frees its object
    expect("deleted through the scalar deleting destructor", {"AS"});

    if (liveCount != 0) fail("replies never handed back");
    FreeLibrary(module);
    DeleteFileA(config);
    write(failures == 0 ? "msvc_host: the tally life held\n" : "msvc_host: the tally life failed\n");
    return failures == 0 ? 0 : 1;
}

}  // namespace

// Called by a pure virtual slot; only a plug-in calling into a table that is
// not the host's ends here.
extern "C" int __cdecl _purecall() { trapped("a pure virtual slot was called"); }

extern "C" void __cdecl msvcHostEntry() { ExitProcess(static_cast<unsigned>(run())); }
