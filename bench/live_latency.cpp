// live_latency - a cut through the real `vesk-host --serve`, from the mixer
// to the lamps, beside the same cut in-process.
//
// For each n it writes a facility of n cameras into a temporary folder (see
// tsl_bench.h), starts the built `vesk-host --serve 127.0.0.1:0 --config INI`
// (with `--record FILE` unless --no-record), opens one reader of
// `GET /api/events` that reads at full speed (unless --no-stream), and plays
// the mixer and the lamps on loopback UDP:
//
//   one camera     one packet lights (or darkens) display K's right lamp;
//                  the time until the lamp message for K with that level
//   every camera   the packets that switch every display at once (as few as
//                  fit, back to back); the time until the last of the n lamp
//                  messages. The level alternates, so each cut changes every
//                  lamp.
//
// Beside the lamps, the reader follows the info slots the stream reports and
// tells, for each cut, when the page had the final state, or that its
// stream ended (the host drops a stream that falls behind). Then the same
// facility runs in-process (no web server, no stream, no timeline printed,
// no recording) for the same cuts, and the table gives both and their ratio,
// with vesk-host's resident memory over the run.
//
// Every wait is bounded: a cut that does not complete within --timeout-ms is
// counted and reported; after five in a row the size is given up.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "tsl_bench.h"

extern char** environ;

namespace {

using namespace tslbench;

struct Options {
    std::vector<int> sizes{10, 1000, 10000};
    int oneCuts = 200;
    int allCuts = 50;
    bool stream = true;
    bool record = true;
    bool inProcess = true;
    bool hostQuiet = false;
    bool keep = false;
    bool eachCut = false;
    int timeoutMs = 10000;
    int streamWaitMs = 10000;
    std::string host;
};

double millis(double us) { return us / 1000.0; }

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// A line of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
long statusKb(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    }
    return -1;
}

// CPU time a process has used, all its threads, user and system (ms).
double cpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t name = stat.rfind(')');  // the program's name may hold spaces
    if (name == std::string::npos) return -1;
    std::istringstream fields(stat.substr(name + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {  // utime and stime are fields 14 and 15
        if (i == 14) user = std::stoull(field);
        if (i == 15) system = std::stoull(field);
    }
    return 1000.0 * static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string selfFolder() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    buffer[n] = '\0';
    return folderOf(buffer);
}

bool executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// ---------------------------------------------------------------------------
// vesk-host as a child: stdout (the timeline) to /dev/null, stderr read by a
// thread, which picks up the ports it prints.

class HostProcess {
public:
    ~HostProcess() { stop(); }

    bool start(const std::vector<std::string>& args, const std::string& ini) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "VESK_CONFIG=", 12) != 0) env.emplace_back(*e);
        }
        env.push_back("VESK_CONFIG=" + ini);
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        int errPipe[2];
        if (pipe(errPipe) != 0) return false;
        const int devNull = open("/dev/null", O_WRONLY);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(devNull, 1);
            dup2(errPipe[1], 2);
            close(errPipe[0]);
            close(errPipe[1]);
            close(devNull);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(devNull);
        close(errPipe[1]);
        errFd_ = errPipe[0];
        reader_ = std::thread([this] { readErrors(); });
        return true;
    }

    pid_t pid() const { return pid_; }

    // Waits until vesk-host printed both ports, it ended, or `ms` passed.
    bool waitPorts(int ms, std::uint16_t& http, std::uint16_t& mixer) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(ms),
                          [&] { return (httpPort_ != 0 && mixerPort_ != 0) || errorsEnded_; });
        http = httpPort_;
        mixer = mixerPort_;
        return http != 0 && mixer != 0;
    }

    bool alive() {
        if (pid_ <= 0 || reaped_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = status;
            return false;
        }
        return true;
    }

    // SIGTERM, up to 20 s for a clean end (it destroys every component),
    // then SIGKILL. Returns a description of how it ended.
    std::string stop() {
        if (pid_ <= 0) return "not started";
        if (!reaped_) {
            kill(pid_, SIGTERM);
            const auto until = Clock::now() + std::chrono::seconds(20);
            while (!reaped_ && Clock::now() < until) {
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    reaped_ = true;
                    status_ = status;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            if (!reaped_) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                reaped_ = true;
                killed_ = true;
            }
        }
        if (reader_.joinable()) reader_.join();
        if (errFd_ >= 0) close(errFd_);
        errFd_ = -1;
        pid_ = -1;
        if (killed_) return "did not end within 20 s of SIGTERM: killed";
        if (WIFEXITED(status_)) return "ended with status " + std::to_string(WEXITSTATUS(status_));
        if (WIFSIGNALED(status_)) return std::string("ended by signal ") + strsignal(WTERMSIG(status_));
        return "ended";
    }

    // What vesk-host wrote on stderr besides its two start-up lines, each
    // text once with its count.
    std::vector<std::pair<std::string, int>> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::size_t messagesLost() {
        std::lock_guard<std::mutex> lock(mutex_);
        return linesLost_;
    }

private:
    void readErrors() {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(errFd_, buffer, sizeof buffer);
            if (n <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                line(pending.substr(0, newline));
                pending.erase(0, newline + 1);
            }
        }
        if (!pending.empty()) line(pending);
        std::lock_guard<std::mutex> lock(mutex_);
        errorsEnded_ = true;
        changed_.notify_all();
    }

    void line(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string page = "live page at http://127.0.0.1:";
        const std::string mixer = "tsl mixer: listening on udp 127.0.0.1:";
        std::size_t at;
        if (httpPort_ == 0 && (at = text.find(page)) != std::string::npos) {
            httpPort_ = static_cast<std::uint16_t>(std::atoi(text.c_str() + at + page.size()));
        } else if (mixerPort_ == 0 && (at = text.find(mixer)) != std::string::npos) {
            mixerPort_ = static_cast<std::uint16_t>(std::atoi(text.c_str() + at + mixer.size()));
        } else {
            // Counted by text: a long run repeats the same few lines.
            auto same = std::find_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l.first == text; });
            if (same != lines_.end()) {
                ++same->second;
            } else if (lines_.size() < 200) {
                lines_.emplace_back(text, 1);
            } else {
                ++linesLost_;
            }
        }
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int errFd_ = -1;
    bool reaped_ = false, killed_ = false;
    int status_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint16_t httpPort_ = 0, mixerPort_ = 0;
    bool errorsEnded_ = false;
    std::vector<std::pair<std::string, int>> lines_;  // each text and how often
    std::size_t linesLost_ = 0;
};

// ---------------------------------------------------------------------------
// One reader of GET /api/events, as a page that keeps up at full speed. It
// keeps the text of every info slot of device 12 the stream reports (in the
// `hello` snapshot and in `slot` events), so that a cut can ask when the
// page had its final state. When the stream ends it connects again at once
// (a page waits a second), and a cut waits for the fresh snapshot first.

enum class StreamOutcome { Final, Ended, Timeout, NotOpen };

class StreamReader {
public:
    // Port 0: no connection, for checking what the reader makes of lines.
    StreamReader(std::uint16_t port, int n) : port_(port), slots_(static_cast<std::size_t>(n) + 1, 0) {
        if (port != 0) thread_ = std::thread([this] { run(); });
    }
    ~StreamReader() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Waits until the stream is open and its snapshot read.
    bool waitReady(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return ready_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return helloSeen_; });
    }

    // From now on, slots first..last are to read `level`.
    void expect(int first, int last, std::uint8_t level) {
        std::lock_guard<std::mutex> lock(mutex_);
        first_ = first;
        last_ = last;
        level_ = static_cast<char>('0' + level);
        pending_ = 0;
        for (int s = first; s <= last; ++s) pending_ += slots_[static_cast<std::size_t>(s)] != level_ ? 1 : 0;
        active_ = true;
        endedDuring_ = false;
        start_ = Clock::now();
        if (pending_ == 0) doneAt_ = start_;
    }

    // Waits for the outcome of the expectation set last, until `until`.
    StreamOutcome wait(Clock::time_point until, double& micros) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool settled =
            ready_.wait_until(lock, until, [&] { return pending_ == 0 || endedDuring_ || !connected_; });
        active_ = false;
        if (pending_ == 0) {
            micros = tslbench::micros(doneAt_ - start_);
            return StreamOutcome::Final;
        }
        if (endedDuring_) return StreamOutcome::Ended;
        if (!settled) return StreamOutcome::Timeout;
        return StreamOutcome::NotOpen;
    }

    // Slot 12.K as the stream showed it last ('0' to '3'; 0 when never).
    char slot(int k) {
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_[static_cast<std::size_t>(k)];
    }
    int slotsAt(char level) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(std::count(slots_.begin() + 1, slots_.end(), level));
    }
    void feed(std::string_view text) { line(text.data(), text.size()); }

    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t events() const { return events_; }
    int opened() const { return opened_; }
    int ended() const { return ended_; }
    int droppedNotices() const { return droppedNotices_; }
    int refused() const { return refused_; }

private:
    void run() {
        while (!stop_) {
            const int fd = connectStream();
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            readStream(fd);
            close(fd);
            std::lock_guard<std::mutex> lock(mutex_);
            if (active_ && pending_ != 0) endedDuring_ = true;
            connected_ = false;
            helloSeen_ = false;
            if (!stop_) ++ended_;
            ready_.notify_all();
        }
    }

    int connectStream() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port_);
        const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                    "\r\nAccept: text/event-stream\r\n\r\n";
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
            send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Reads until the stream ends or the reader stops.
    void readStream(int fd) {
        std::vector<char> buffer(1 << 16);
        std::string text;        // what is not yet a whole line
        bool inBody = false;
        std::size_t scanned = 0;  // text before this holds no line end
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            bytes_ += static_cast<std::uint64_t>(n);
            text.append(buffer.data(), static_cast<std::size_t>(n));
            if (!inBody) {
                const std::size_t end = text.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                if (text.compare(0, 12, "HTTP/1.1 200") != 0) {
                    ++refused_;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    return;
                }
                text.erase(0, end + 4);
                inBody = true;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    connected_ = true;
                }
                ++opened_;
                scanned = 0;
            }
            std::size_t begin = 0, newline;
            while ((newline = text.find('\n', std::max(begin, scanned))) != std::string::npos) {
                if (newline > begin) line(text.data() + begin, newline - begin);
                begin = newline + 1;
            }
            text.erase(0, begin);
            scanned = text.size();
        }
    }

    // One line of the stream: a `data:` message is counted and its info
    // slots of device 12 taken in, whether they come as objects (the
    // snapshot, `slot` events) or as rows of a `batch` event's "info" list
    // ([device, slot, "text", registered]).
    void line(const char* data, std::size_t size) {
        const std::string_view text(data, size);
        if (text.compare(0, 6, "data: ") != 0) return;
        ++events_;
        if (text.find("\"type\":\"dropped\"") != std::string_view::npos) ++droppedNotices_;
        const std::string_view device = "{\"device\":12,";
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string_view batch = "{\"type\":\"batch\",";
        if (text.compare(6, batch.size(), batch) == 0) batchRows(text);
        for (std::size_t at = text.find(device); at != std::string_view::npos; at = text.find(device, at + 1)) {
            const std::size_t close = text.find('}', at);
            const std::string_view entry = text.substr(at, close == std::string_view::npos ? text.npos : close - at);
            const std::size_t slotAt = entry.find("\"slot\":");
            const std::size_t textAt = entry.find("\"text\":\"");
            if (slotAt == entry.npos || textAt == entry.npos) continue;
            const long slot = std::atol(std::string(entry.substr(slotAt + 7, 8)).c_str());
            if (slot < 1 || slot >= static_cast<long>(slots_.size())) continue;
            const std::size_t valueAt = textAt + 8;
            const char value = valueAt + 1 < entry.size() && entry[valueAt + 1] == '"' ? entry[valueAt] : '?';
            setSlot(static_cast<int>(slot), value);
        }
        if (text.size() > 20 && text.rfind("\"type\":\"hello\"") != std::string_view::npos) {
            helloSeen_ = true;
            ready_.notify_all();
        }
    }

    // The rows of a batch's "info" list. Texts are JSON strings: escapes
    // are skipped over, so a text holding "]" or "," ends nothing.
    void batchRows(std::string_view text) {
        const std::string_view key = ",\"info\":[";
        std::size_t at = text.find(key);
        if (at == text.npos) return;
        at += key.size();
        while (at < text.size() && text[at] == '[') {
            const long rowDevice = std::atol(std::string(text.substr(at + 1, 12)).c_str());
            const std::size_t comma = text.find(',', at);
            if (comma == text.npos) return;
            const long slot = std::atol(std::string(text.substr(comma + 1, 12)).c_str());
            std::size_t quote = text.find('"', comma);
            if (quote == text.npos) return;
            std::size_t end = quote + 1;
            while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
            if (rowDevice == 12 && slot >= 1 && slot < static_cast<long>(slots_.size())) {
                setSlot(static_cast<int>(slot), end == quote + 2 ? text[quote + 1] : '?');
            }
            at = text.find(']', end);
            if (at == text.npos) return;
            at += 1;
            if (at < text.size() && text[at] == ',') at += 1;
        }
    }

    void setSlot(int slot, char value) {
        char& held = slots_[static_cast<std::size_t>(slot)];
        const char old = held;
        held = value;
        if (!active_ || slot < first_ || slot > last_ || pending_ == 0) return;
        if (old != level_ && value == level_) {
            if (--pending_ == 0) {
                doneAt_ = Clock::now();
                ready_.notify_all();
            }
        } else if (old == level_ && value != level_) {
            ++pending_;
        }
    }

    const std::uint16_t port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> bytes_{0}, events_{0};
    std::atomic<int> opened_{0}, ended_{0}, droppedNotices_{0}, refused_{0};

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<char> slots_;  // slot 12.K's text as the stream showed it ('0' to '3')
    bool connected_ = false, helloSeen_ = false;
    bool active_ = false, endedDuring_ = false;
    int first_ = 0, last_ = 0;
    char level_ = '0';
    long pending_ = 0;  // slots of the expectation not yet at its level
    Clock::time_point start_, doneAt_;
};

// ---------------------------------------------------------------------------

struct StreamFigures {
    std::vector<double> finalMicros;  // from the cut to the page's final state
    int ended = 0, timeouts = 0, notOpen = 0;
};

struct RssSample {
    std::string when;
    long kb = -1;
};

struct LiveRun {
    bool started = false;
    std::string failure;
    double startupSeconds = 0;
    Series one, all;
    std::size_t allPackets = 0;
    StreamFigures oneStream, allStream;
    std::vector<RssSample> rss;
    long peakKb = -1;
    double cpuPerAllCutMs = -1;  // vesk-host's CPU time over the cuts of every camera, per cut
    std::uint64_t streamBytes = 0, streamEvents = 0;
    int streamOpened = 0, streamEnded = 0, droppedNotices = 0, refused = 0;
    long long recordingBytes = -1;
    std::string ending;
    std::vector<std::pair<std::string, int>> hostMessages;
    std::size_t hostMessagesLost = 0;
    bool gaveUp = false;
};

void noteStream(StreamReader* reader, const Options& options, StreamFigures& figures) {
    if (reader == nullptr) return;
    double us = 0;
    switch (reader->wait(Clock::now() + std::chrono::milliseconds(options.streamWaitMs), us)) {
        case StreamOutcome::Final: figures.finalMicros.push_back(us); break;
        case StreamOutcome::Ended: ++figures.ended; break;
        case StreamOutcome::Timeout: ++figures.timeouts; break;
        case StreamOutcome::NotOpen: ++figures.notOpen; break;
    }
}

LiveRun measureLive(int n, const std::string& folder, const Options& options) {
    LiveRun run;
    std::uint16_t lampPort = 0, mixerFrom = 0;
    const int lamps = udpSocket(lampPort);
    const int mixer = udpSocket(mixerFrom);
    const std::string ini = folder + "/live_" + std::to_string(n) + ".ini";
    const std::string recording = folder + "/live_" + std::to_string(n) + ".vesk";
    writeFacility(ini, n, 0, lampPort);

    std::vector<std::string> args{options.host, "--serve", "127.0.0.1:0", "--config", ini};
    if (options.record) {
        args.push_back("--record");
        args.push_back(recording);
    }
    if (options.hostQuiet) args.push_back("--quiet");
    HostProcess host;
    const auto launched = Clock::now();
    std::unique_ptr<StreamReader> reader;
    auto finish = [&] {
        reader.reset();
        run.ending = host.stop();
        run.hostMessages = host.messages();
        run.hostMessagesLost = host.messagesLost();
        struct stat info{};
        if (options.record && stat(recording.c_str(), &info) == 0) run.recordingBytes = info.st_size;
        close(lamps);
        close(mixer);
        return run;
    };
    if (!host.start(args, ini)) {
        run.failure = "cannot start " + options.host;
        return finish();
    }

    // Start-up: both ports printed, then every lamp lit at 0.
    const int startupMs = 30000 + n * 6;
    std::uint16_t httpPort = 0, mixerPort = 0;
    if (!host.waitPorts(startupMs, httpPort, mixerPort)) {
        run.failure = "vesk-host printed no live page or mixer port";
        return finish();
    }
    std::vector<char> lit(static_cast<std::size_t>(n) + 1, 0);
    int litCount = 0;
    readLamps(lamps, startupMs, [&](const Display& d) {
        if (d.index >= 1 && d.index <= n && d.right == 0 && lit[d.index] == 0) {
            lit[d.index] = 1;
            ++litCount;
        }
        return litCount == n;
    });
    if (litCount < n) {
        run.failure = std::to_string(litCount) + " of " + std::to_string(n) + " lamps lit at start-up";
        return finish();
    }
    run.startupSeconds = std::chrono::duration<double>(Clock::now() - launched).count();

    if (options.stream) {
        reader = std::make_unique<StreamReader>(httpPort, n);
        if (!reader->waitReady(startupMs)) {
            run.failure = "the event stream gave no snapshot";
            return finish();
        }
        // The snapshot shows every tally slot at 0, or the stream is not
        // read the way the host writes it.
        if (reader->slotsAt('0') != n) {
            run.failure = "the event stream's snapshot shows " + std::to_string(reader->slotsAt('0')) + " of " +
                          std::to_string(n) + " tally slots at 0";
            return finish();
        }
    }
    run.started = true;
    const pid_t pid = host.pid();
    run.rss.push_back({"started", statusKb(pid, "VmRSS")});

    // A stream that ended is open again, its snapshot read, before a cut
    // (at 10,000 cameras the snapshot is some 10 MB).
    auto beforeCut = [&] {
        if (reader) reader->waitReady(startupMs);
    };
    int inARow = 0;
    auto gaveUp = [&](bool completed) {
        inARow = completed ? 0 : inARow + 1;
        if (!host.alive()) {
            run.failure = "vesk-host ended during the cuts";
            return true;
        }
        if (inARow >= 5) {
            run.failure = "five cuts in a row did not complete";
            run.gaveUp = true;
            return true;
        }
        return false;
    };

    for (int i = 0; i < options.oneCuts && run.failure.empty(); ++i) {
        const int camera = oneCamera(i, n);
        const std::uint8_t level = oneLevel(i);
        const bool done = timeOneCut(mixer, mixerPort, lamps, camera, level, options.timeoutMs, run.one, [&] {
            beforeCut();
            if (reader) reader->expect(camera, camera, level);
        });
        noteStream(reader.get(), options, run.oneStream);
        if (gaveUp(done)) break;
    }
    drainLamps(lamps);
    run.rss.push_back({"after one-camera cuts", statusKb(pid, "VmRSS")});

    const int quarter = std::max(1, options.allCuts / 4);
    const double cpuBefore = cpuMs(pid);
    for (int i = 0; i < options.allCuts && run.failure.empty(); ++i) {
        const std::uint8_t level = allLevel(i);
        std::size_t missing = 0;
        const bool done =
            timeAllCut(mixer, mixerPort, lamps, n, level, options.timeoutMs, run.all, run.allPackets, missing, [&] {
                beforeCut();
                if (reader) reader->expect(1, n, level);
            });
        if (!done) {
            std::fprintf(stderr, "live_latency: n=%d, cut %d of every camera: %zu lamp(s) missing after %d ms\n", n,
                         i + 1, missing, options.timeoutMs);
        }
        noteStream(reader.get(), options, run.allStream);
        if ((i + 1) % quarter == 0 && i + 1 < options.allCuts) {
            run.rss.push_back({"after " + std::to_string(i + 1) + " cuts of every camera", statusKb(pid, "VmRSS")});
            std::printf("  %d of %d cuts of every camera, VmRSS %.1f MiB\n", i + 1, options.allCuts,
                        static_cast<double>(run.rss.back().kb) / 1024.0);
            std::fflush(stdout);
        }
        if (gaveUp(done)) break;
    }
    if (!run.all.samples.empty() && cpuBefore >= 0) {
        run.cpuPerAllCutMs = (cpuMs(pid) - cpuBefore) / static_cast<double>(run.all.samples.size());
    }
    run.rss.push_back({"after all cuts", statusKb(pid, "VmRSS")});
    run.peakKb = statusKb(pid, "VmHWM");
    if (reader) {
        run.streamBytes = reader->bytes();
        run.streamEvents = reader->events();
        run.streamOpened = reader->opened();
        run.streamEnded = reader->ended();
        run.droppedNotices = reader->droppedNotices();
        run.refused = reader->refused();
    }
    return finish();
}

// ---------------------------------------------------------------------------

std::string cell(double us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", millis(us));
    return text;
}

std::string ratioCell(double live, double inProcess) {
    if (inProcess <= 0 || live <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1fx", live / inProcess);
    return text;
}

void printCuts(int n, const char* kind, const Series& live, const Series* inProcess) {
    const Figures l = percentiles(live.samples);
    const Figures p = inProcess != nullptr ? percentiles(inProcess->samples) : Figures{};
    const bool haveLive = !live.samples.empty();
    const bool haveIn = inProcess != nullptr && !inProcess->samples.empty();
    std::printf("%6d  %-13s %5zu %9s %9s  %9s %9s  %8s %8s  %8d\n", n, kind, live.samples.size() + live.timeouts,
                haveLive ? cell(l.p50).c_str() : "-", haveLive ? cell(l.p99).c_str() : "-",
                haveIn ? cell(p.p50).c_str() : "-", haveIn ? cell(p.p99).c_str() : "-",
                haveLive && haveIn ? ratioCell(l.p50, p.p50).c_str() : "-",
                haveLive && haveIn ? ratioCell(l.p99, p.p99).c_str() : "-", live.timeouts);
}

void printStream(int n, const char* kind, const StreamFigures& s) {
    const Figures f = percentiles(s.finalMicros);
    const bool have = !s.finalMicros.empty();
    std::printf("%6d  %-13s %9s %9s  %7zu %7d %8d %8d\n", n, kind, have ? cell(f.p50).c_str() : "-",
                have ? cell(f.p99).c_str() : "-", s.finalMicros.size(), s.ended, s.timeouts, s.notOpen);
}

// The goals at 10,000 cameras, each said met or missed with its figure, and
// for a miss what the run says of why. `loadAtStart` is the one-minute load
// average when the run began.
void printGoals(int n, const LiveRun& live, const InProcess* inProcess, const Options& options,
                double loadAtStart) {
    std::printf("\nGoals at n = %d\n", n);
    if (!options.stream || !options.record) {
        std::printf("  (judged only with the page's stream open and --record FILE on)\n");
        return;
    }
    const Figures all = percentiles(live.all.samples);
    const Figures one = percentiles(live.one.samples);
    const Figures in = inProcess != nullptr ? percentiles(inProcess->all.samples) : Figures{};
    const int cuts = static_cast<int>(live.all.samples.size()) + live.all.timeouts;
    // Two cores: above 1, another program had a core's worth of work.
    const bool busy = loadAtStart > 1.0;
    // Cuts far slower than the median, live and in-process alike, are the
    // machine's: another program had a core.
    const auto overTwiceMedian = [](const std::vector<double>& samples) {
        const double median = percentiles(samples).p50;
        return std::count_if(samples.begin(), samples.end(), [&](double s) { return s > 2 * median; });
    };
    char why[360];
    std::snprintf(why, sizeof why,
                  "%s; in-process the same cut takes %.2f ms p50, %.2f ms p99 (its own tail %.1fx); "
                  "cuts over twice their median: %ld of %zu live, %ld of %zu in-process",
                  busy ? "the machine was busy at the start (load above 1): the p99 holds time spent "
                         "waiting for a core"
                       : "the live program's own work on each change, and the tail of this machine",
                  millis(in.p50), millis(in.p99), in.p50 > 0 ? in.p99 / in.p50 : 0.0,
                  static_cast<long>(overTwiceMedian(live.all.samples)), live.all.samples.size(),
                  inProcess != nullptr ? static_cast<long>(overTwiceMedian(inProcess->all.samples)) : 0L,
                  inProcess != nullptr ? inProcess->all.samples.size() : std::size_t{0});
    const auto say = [&](const char* goal, bool met, const std::string& figure, const char* missedWhy) {
        std::printf("  %-62s %-7s %s%s%s\n", goal, met ? "met" : "MISSED", figure.c_str(),
                    met || missedWhy == nullptr ? "" : ": ", met || missedWhy == nullptr ? "" : missedWhy);
    };
    const bool allTimely = !live.all.samples.empty() && live.all.timeouts == 0;
    say("every camera at once, p99 within 20 ms", allTimely && millis(all.p99) <= 20.0,
        "p99 " + cell(all.p99) + " ms", why);
    if (inProcess != nullptr && in.p99 > 0) {
        say("  stretch: within 3 times the in-process p99", allTimely && all.p99 <= 3 * in.p99,
            ratioCell(all.p99, in.p99), why);
    }
    say("one camera, p99 under 1 ms",
        !live.one.samples.empty() && live.one.timeouts == 0 && millis(one.p99) < 1.0,
        "p99 " + cell(one.p99) + " ms", busy ? "the machine was busy at the start" : nullptr);
    const bool shown = static_cast<int>(live.allStream.finalMicros.size()) == cuts &&
                       live.streamEnded == 0 && live.droppedNotices == 0;
    say("the page's stream never dropped, final state after every cut", shown,
        std::to_string(live.allStream.finalMicros.size()) + " of " + std::to_string(cuts) +
            " shown, " + std::to_string(live.streamEnded) + " ended",
        "see the stream's table above");
    // Flat: what it holds after every cut against after the first quarter.
    long quarter = -1, last = -1;
    for (const RssSample& sample : live.rss) {
        if (sample.when.rfind("after ", 0) == 0 && sample.when.find("cuts of every camera") != std::string::npos) {
            if (quarter < 0) quarter = sample.kb;
        }
        if (sample.when == "after all cuts") last = sample.kb;
    }
    const bool flat = quarter > 0 && last > 0 && last - quarter <= std::max(1024L, quarter / 50);
    char memory[96];
    std::snprintf(memory, sizeof memory, "%.1f to %.1f MiB from the first quarter of the cuts to the end",
                  static_cast<double>(quarter) / 1024.0, static_cast<double>(last) / 1024.0);
    say("memory flat over the cuts (within 2%)", flat, memory,
        "the components' command logs fill their windows over the first few hundred cuts");
}

// What the stream reader makes of the lines the host writes: the snapshot's
// slot objects, `slot` events, and the rows of a `batch` event, among rows
// of other devices and texts holding brackets, commas and quotes. A reader
// that misread them would report every cut as never shown on the page.
bool streamReaderReads() {
    StreamReader reader(0, 4);
    reader.feed(R"(data: {"state":{"info":[{"device":12,"registered":false,"slot":1,"text":"0"},)"
                R"({"device":3,"slot":2,"text":"2"},{"device":12,"registered":false,"slot":2,"text":"0"}]},"type":"hello"})");
    reader.feed(R"(data: {"device":12,"registered":false,"slot":3,"text":"2","type":"slot"})");
    reader.feed(R"(data: {"type":"batch","time_ms":5,"gpi":[[3,1,1,true]],"info":[[20,4,"p\"],[12,3,\"1\",false],[\"",true],)"
                R"([12,1,"1",false],[12,4,"3",false],[12,2,"",false]],"written":[["cam1",12,2,"2",5]]})");
    reader.feed(R"(data: {"type":"timeline","text":"IW 12 '2' 3 0 ,\"info\":[[12,3,\"1\",false]]"})");
    reader.feed(R"(data: {"type":"dropped","reason":"fell behind"})");
    const char want[] = {'1', '?', '2', '3'};
    bool ok = reader.droppedNotices() == 1 && reader.events() == 5;
    for (int k = 1; k <= 4; ++k) {
        if (reader.slot(k) != want[k - 1]) {
            std::fprintf(stderr, "live_latency: the stream reader read slot 12.%d as '%c', not '%c'\n", k,
                         reader.slot(k) == 0 ? ' ' : reader.slot(k), want[k - 1]);
            ok = false;
        }
    }
    return ok;
}

int usage(const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "live_latency: %s\n", problem);
    std::fprintf(stderr,
                 "usage: live_latency [--sizes 10,1000,10000] [--one-cuts 200] [--cuts 50]\n"
                 "                    [--no-stream] [--no-record] [--no-in-process] [--host-quiet]\n"
                 "                    [--timeout-ms 10000] [--stream-wait-ms 10000] [--host PATH] [--keep]\n"
                 "                    [--each-cut]\n"
                 "  --sizes N,...       facility sizes (cameras)\n"
                 "  --one-cuts N        one-camera cuts per size (even; at least 2)\n"
                 "  --cuts N            cuts of every camera per size (e.g. 10000 for a soak)\n"
                 "  --no-stream         no reader of GET /api/events\n"
                 "  --no-record         no --record FILE (vesk-host still keeps up to 4 MiB in memory)\n"
                 "  --no-in-process     skip the in-process cut\n"
                 "  --host-quiet        run vesk-host with --quiet (no timeline printed)\n"
                 "  --timeout-ms MS     a cut not complete within MS is counted as timed out\n"
                 "  --stream-wait-ms MS how long after a cut the page stream may take to show it\n"
                 "  --host PATH         the vesk-host to run (default: beside this program)\n"
                 "  --keep              keep the temporary folder (INI files, recordings)\n"
                 "  --each-cut          also print every cut of every camera, in order, live and in-process\n");
    return 2;
}

bool positive(const char* text, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 100000000) return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--sizes") {
            const char* list = value();
            if (list == nullptr) return usage("--sizes needs a list");
            options.sizes.clear();
            std::stringstream in(list);
            std::string item;
            while (std::getline(in, item, ',')) {
                int n = 0;
                if (!positive(item.c_str(), n) || n > 65534) return usage("a size is a number from 1 to 65534");
                options.sizes.push_back(n);
            }
        } else if (arg == "--one-cuts" || arg == "--cuts" || arg == "--timeout-ms" || arg == "--stream-wait-ms") {
            const char* text = value();
            int number = 0;
            if (text == nullptr || !positive(text, number)) return usage((arg + " needs a positive number").c_str());
            if (arg == "--one-cuts") options.oneCuts = number + number % 2;
            if (arg == "--cuts") options.allCuts = number;
            if (arg == "--timeout-ms") options.timeoutMs = number;
            if (arg == "--stream-wait-ms") options.streamWaitMs = number;
        } else if (arg == "--no-stream") {
            options.stream = false;
        } else if (arg == "--no-record") {
            options.record = false;
        } else if (arg == "--no-in-process") {
            options.inProcess = false;
        } else if (arg == "--host-quiet") {
            options.hostQuiet = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--each-cut") {
            options.eachCut = true;
        } else if (arg == "--host") {
            const char* path = value();
            if (path == nullptr) return usage("--host needs a path");
            options.host = path;
        } else if (arg == "-h" || arg == "--help") {
            return usage(nullptr);
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }
    if (options.host.empty()) {
        const std::string beside = selfFolder() + "/vesk-host";
        options.host = executable(beside) ? beside : std::string(VESK_HOST_BINARY);
    }
    if (!executable(options.host)) {
        std::fprintf(stderr, "live_latency: no vesk-host at %s (give --host PATH)\n", options.host.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!streamReaderReads()) {
        std::fprintf(stderr, "live_latency: the page stream reader is broken; nothing measured\n");
        return 1;
    }

    char folderTemplate[] = "/tmp/live_latency_XXXXXX";
    const char* made = mkdtemp(folderTemplate);
    if (made == nullptr) {
        std::perror("live_latency: temporary folder");
        return 1;
    }
    const std::string folder = made;

    std::printf("A cut through vesk-host --serve, from the mixer to the lamps (loopback UDP)\n");
    std::printf("host: %s\npage stream: %s; recording: %s; timeline: %s\n", options.host.c_str(),
                options.stream ? "one reader of GET /api/events at full speed" : "off",
                options.record ? "--record FILE" : "off (kept in memory, at most 4 MiB)",
                options.hostQuiet ? "--quiet" : "printed to /dev/null");
    std::printf("cuts per size: %d of one camera, %d of every camera; timeout %d ms a cut\n", options.oneCuts,
                options.allCuts, options.timeoutMs);
    const std::string loadBefore = loadAverage();
    std::printf("load average at the start: %s\n\n", loadBefore.c_str());
    std::fflush(stdout);

    struct Result {
        int n;
        LiveRun live;
        InProcess inProcess;
    };
    std::vector<Result> results;
    for (const int n : options.sizes) {
        Result result{n, {}, {}};
        std::printf("n=%d: vesk-host --serve ...\n", n);
        std::fflush(stdout);
        result.live = measureLive(n, folder, options);
        if (!result.live.failure.empty()) std::printf("  %s\n", result.live.failure.c_str());
        if (options.inProcess) {
            std::printf("n=%d: in-process ...\n", n);
            std::fflush(stdout);
            const std::string ini = folder + "/in_process_" + std::to_string(n) + ".ini";
            result.inProcess = measureInProcess(n, ini, VARNIK_BENCH_MODULE, VARNIK_BENCH_PANELS, options.oneCuts,
                                                options.allCuts, options.timeoutMs);
            unsetenv("VESK_CONFIG");
        }
        results.push_back(std::move(result));
    }
    const std::string loadAfter = loadAverage();

    std::printf("\nCut to lamp (milliseconds; p50 and p99 by nearest rank)\n");
    std::printf("%6s  %-13s %5s %9s %9s  %9s %9s  %8s %8s  %8s\n", "n", "case", "cuts", "live p50", "live p99",
                "in-proc50", "in-proc99", "ratio50", "ratio99", "timeouts");
    for (const auto& r : results) {
        const InProcess* in = options.inProcess && r.inProcess.ok ? &r.inProcess : nullptr;
        printCuts(r.n, "one camera", r.live.one, in ? &in->one : nullptr);
        printCuts(r.n, "every camera", r.live.all, in ? &in->all : nullptr);
    }
    std::printf("(every camera: the mixer's cut in");
    for (const auto& r : results) std::printf(" %zu", r.live.allPackets);
    std::printf(" datagram(s) for n =");
    for (const auto& r : results) std::printf(" %d", r.n);
    std::printf(")\n");

    if (options.stream) {
        std::printf("\nPage stream: from the cut until the reader of /api/events had the final state (ms)\n");
        std::printf("%6s  %-13s %9s %9s  %7s %7s %8s %8s\n", "n", "case", "p50", "p99", "shown", "ended", "timeouts",
                    "no-strm");
        for (const auto& r : results) {
            printStream(r.n, "one camera", r.live.oneStream);
            printStream(r.n, "every camera", r.live.allStream);
        }
        std::printf("%6s  %10s %10s %8s %8s %10s\n", "n", "MB read", "events", "opened", "ended", "'dropped'");
        for (const auto& r : results) {
            std::printf("%6d  %10.1f %10llu %8d %8d %10d\n", r.n, static_cast<double>(r.live.streamBytes) / 1e6,
                        static_cast<unsigned long long>(r.live.streamEvents), r.live.streamOpened,
                        r.live.streamEnded, r.live.droppedNotices);
        }
        std::printf("(ended: the stream ended during the cut before showing it; a stream that ends is opened\n"
                    " again at once and the next cut waits for its snapshot; 'dropped': the host's notice\n"
                    " {\"type\":\"dropped\"} read before an end)\n");
    }

    std::printf("\nvesk-host resident memory (VmRSS, MiB)\n");
    for (const auto& r : results) {
        std::printf("%6d  start-up %.1f s;", r.n, r.live.startupSeconds);
        for (const auto& sample : r.live.rss) {
            std::printf(" %s %.1f;", sample.when.c_str(), static_cast<double>(sample.kb) / 1024.0);
        }
        std::printf(" peak (VmHWM) %.1f\n", static_cast<double>(r.live.peakKb) / 1024.0);
    }
    std::printf("\nvesk-host CPU time per cut of every camera, all its threads, the page's batch and the\n"
                "recording after the cut included (ms)\n");
    for (const auto& r : results) {
        if (r.live.cpuPerAllCutMs >= 0) std::printf("%6d  %.2f\n", r.n, r.live.cpuPerAllCutMs);
    }

    if (options.record) {
        std::printf("\nRecording (--record)\n");
        for (const auto& r : results) {
            const int cuts = static_cast<int>(r.live.one.samples.size() + r.live.all.samples.size());
            std::printf("%6d  %.1f MB after %d cuts\n", r.n, static_cast<double>(r.live.recordingBytes) / 1e6, cuts);
        }
    }

    std::printf("\nvesk-host\n");
    for (const auto& r : results) {
        std::printf("%6d  %s%s%s\n", r.n, r.live.ending.c_str(), r.live.failure.empty() ? "" : "; ",
                    r.live.failure.c_str());
        for (const auto& [message, count] : r.live.hostMessages) {
            if (count > 1) {
                std::printf("        %s  (x%d)\n", message.c_str(), count);
            } else {
                std::printf("        %s\n", message.c_str());
            }
        }
        if (r.live.hostMessagesLost > 0) std::printf("        (%zu lines of other texts)\n", r.live.hostMessagesLost);
    }
    if (options.eachCut) {
        std::printf("\nEvery cut of every camera, in order (ms)\n");
        for (const auto& r : results) {
            const auto print = [&](const char* what, const std::vector<double>& samples) {
                std::printf("%6d  %-10s", r.n, what);
                for (const double sample : samples) std::printf(" %.1f", millis(sample));
                std::printf("\n");
            };
            if (r.live.started) print("live", r.live.all.samples);
            if (options.inProcess && r.inProcess.ok) print("in-process", r.inProcess.all.samples);
        }
    }
    for (const auto& r : results) {
        if (r.n != 10000 || !r.live.started) continue;
        printGoals(r.n, r.live, options.inProcess && r.inProcess.ok ? &r.inProcess : nullptr, options,
                   std::atof(loadBefore.c_str()));
    }
    std::printf("\nload average at the end: %s (2 cores: figures include time spent waiting for one)\n",
                loadAfter.c_str());

    if (!options.keep) {
        for (const auto& r : results) {
            for (const char* prefix : {"/live_", "/in_process_"}) {
                std::remove((folder + prefix + std::to_string(r.n) + ".ini").c_str());
                std::remove((folder + prefix + std::to_string(r.n) + ".vesk").c_str());
            }
        }
        rmdir(folder.c_str());
    } else {
        std::printf("kept: %s\n", folder.c_str());
    }
    bool complete = true;
    for (const auto& r : results) complete = complete && r.live.started && r.live.failure.empty();
    return complete ? 0 : 1;
}
