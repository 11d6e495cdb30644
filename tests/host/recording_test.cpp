// Lines the recorder writes read back as exactly what was recorded; the
// recording is kept within its limits and read back a piece at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "front/recording/recorder.h"
#include "front/recording/step_text.h"
#include "front/scenario.h"

#ifdef VESK_HOST_WITH_WEB
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "front/web/http_session.h"
#endif

namespace vhost {
namespace {

// The whole recording, read in pieces of `piece` bytes.
std::string readAll(const Recorder& recorder, std::size_t piece) {
    std::string text;
    for (std::string part; !(part = recorder.read(text.size(), piece)).empty();) text += part;
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A value reads back unchanged in every kind of line that carries one, and
// anything but plain printable ASCII is quoted, so that no reader (nor an
// editor) takes a blank, a quote, a backslash or a '#' for anything else.
TEST(RecordedSteps, ValuesReadBackUnchanged) {
    const struct {
        std::string text;
        bool quoted;
    } rows[] = {
        {"CAM2", false},
        {"tally_val=1", false},
        {"!", false},  // the first byte after the blank
        {"a~", false},  // the last byte before DEL
        {"", true},
        {" lead", true},
        {"trail ", true},
        {"a b", true},
        {"\"quoted\"", true},
        {"mid\"quote", true},
        {"a\nb", true},
        {"\tx", true},
        {"back\\slash", true},
        {"\\", true},
        {"#7 = \"x\"", true},
        {"x#1", true},
        {"caf\xc3\xa9", true},
        {"\xff", true},
        {"esc\x1b[2J", true},
        {"a\x7f", true},
        {"a\x1f", true},
    };
    for (const auto& row : rows) {
        const std::string value = scenarioValue(row.text);
        EXPECT_EQ(!value.empty() && value.front() == '"', row.quoted) << value;
        const std::string lines[] = {"info 20 4 " + value, "@cam1 param " + value,
                                     "@cam1 event AlarmTest " + value,
                                     "expect slot 12 20 = " + value,
                                     "expect @cam1 control Tally = " + value};
        for (const std::string& line : lines) {
            const ParsedLine parsed = parseScenarioLine(line);
            ASSERT_TRUE(parsed.step) << line << ": " << parsed.error;
            EXPECT_EQ(parsed.step->text, row.text) << line;
        }
    }
}

// "advance N" comes before each action with the facility time since the one
// before: 0 for two at once, and a gap too long for one line in several.
TEST(RecordedSteps, AdvanceStatesEveryGapExactly) {
    const std::int64_t most = Recorder::longestAdvance;
    const struct {
        std::int64_t gap;
        std::vector<std::string> lines;
    } rows[] = {
        {0, {"advance 0"}},
        {1, {"advance 1"}},
        {most - 1, {"advance " + std::to_string(most - 1)}},
        {most, {"advance " + std::to_string(most)}},
        {most + 1, {"advance " + std::to_string(most), "advance 1"}},
        {2 * most + 5,
         {"advance " + std::to_string(most), "advance " + std::to_string(most), "advance 5"}},
    };
    Timeline timeline;
    Facility facility(Environment(), timeline, false);
    Recorder recorder(facility, timeline);
    std::string error;
    ASSERT_TRUE(recorder.start(RecordingStart(), error));
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        facility.advance(row.gap);
        Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 1, 1));
        expected.insert(expected.end(), row.lines.begin(), row.lines.end());
        expected.push_back("gpi 3 1 1");
    }
    std::vector<std::string> steps;
    std::int64_t total = 0;
    for (const std::string& line : linesOf(readAll(recorder, 4096))) {
        if (line.empty() || line[0] == '#') continue;
        steps.push_back(line);
        const ParsedLine parsed = parseScenarioLine(line);
        ASSERT_TRUE(parsed.step) << line << ": " << parsed.error;
        if (parsed.step->kind == Step::Kind::Advance) total += parsed.step->a;
    }
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(total, facility.now()) << "a replay reaches each action at its time";
}

// An action's slot writes are stated once a slot, in the order first
// written, with the last text: also when a slot comes back after others.
TEST(RecordedSteps, EachSlotOnceWithItsLastText) {
    struct Write {
        std::int32_t slot;
        const char* text;
    };
    const struct {
        const char* name;
        std::vector<Write> writes;
        std::vector<std::string> lines;
    } rows[] = {
        {"rising", {{1, "1"}, {2, "1"}, {3, "1"}},
         {"expect slot 12 1 = 1", "expect slot 12 2 = 1", "expect slot 12 3 = 1"}},
        {"falling", {{3, "1"}, {2, "1"}, {1, "1"}},
         {"expect slot 12 3 = 1", "expect slot 12 2 = 1", "expect slot 12 1 = 1"}},
        {"again at once", {{1, "1"}, {1, "0"}}, {"expect slot 12 1 = 0"}},
        {"again after another", {{2, "a"}, {1, "b"}, {2, "c"}},
         {"expect slot 12 2 = c", "expect slot 12 1 = b"}},
        {"rising, then again", {{1, "a"}, {2, "b"}, {3, "c"}, {1, "d"}},
         {"expect slot 12 1 = d", "expect slot 12 2 = b", "expect slot 12 3 = c"}},
    };
    for (const auto& row : rows) {
        Timeline timeline;
        Facility facility(Environment(), timeline, false);
        Recorder recorder(facility, timeline);
        std::string error;
        ASSERT_TRUE(recorder.start(RecordingStart(), error));
        recorder.setRecording(true);
        {
            Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 1, 1));
            for (const Write& write : row.writes) recorder.slotChanged(12, write.slot, write.text);
        }
        std::vector<std::string> lines;
        for (const std::string& line : linesOf(readAll(recorder, 4096))) {
            if (line.rfind("expect slot", 0) == 0) lines.push_back(line);
        }
        EXPECT_EQ(lines, row.lines) << row.name;
    }
}

TEST(RecordedSteps, SentPatterns) {
    const struct {
        const char* command;
        const char* pattern;  // null: no line can match it
    } rows[] = {
        {"IW 12 '1' 20 0", "IW 12 '1' 20 0"},
        {"PS '1' '/srv/panels/varnik.vesk_ui'", "PS '1' '*"},
        {"PS '1' 'C:\\panels\\varnik.vesk_ui'", "PS '1' '*"},
        {"TP 'text=a\nb' '1' 'Legend'", "TP 'text=a*"},
        {"TP 'text=a ' ", "TP 'text=a '*"},
        {" GU 3", nullptr},
    };
    for (const auto& row : rows) {
        const auto pattern = sentPattern(row.command);
        EXPECT_EQ(pattern.has_value(), row.pattern != nullptr) << row.command;
        if (pattern && row.pattern) {
            EXPECT_EQ(*pattern, row.pattern);
        }
    }
}

// Without a file a long run keeps a bounded recording that says where it stopped.
TEST(RecordedSteps, MemoryStaysBounded) {
    Timeline timeline;
    Facility facility(Environment(), timeline, false);
    Recorder recorder(facility, timeline);
    std::string error;
    ASSERT_TRUE(recorder.start(RecordingStart(), error));
    for (std::int32_t i = 0; i < 400000; ++i) {
        Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 7, i % 2));
        facility.advance(1);
    }
    const std::string text = readAll(recorder, Recorder::memoryPiece);
    EXPECT_EQ(text.size(), recorder.size());
    EXPECT_LE(text.size(), Recorder::memoryLimit);
    // It stops at the limit, not well before it.
    EXPECT_GT(text.size(), Recorder::memoryLimit - 200);
    const std::size_t notice = text.rfind("# the recording reached");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_EQ(text.find('\n', notice), text.size() - 1) << "the notice is the last line";

    // Any piece reads the same bytes, across the boundaries of the pieces
    // it is kept in, and nothing past the end.
    for (const std::size_t piece : {std::size_t{1} << 20, Recorder::memoryPiece - 1,
                                    Recorder::memoryPiece + 1, std::size_t{4093}}) {
        EXPECT_EQ(readAll(recorder, piece), text) << piece;
    }
    for (std::size_t at = Recorder::memoryPiece; at < text.size(); at += Recorder::memoryPiece) {
        EXPECT_EQ(recorder.read(at - 2, 4), text.substr(at - 2, 4)) << at;
    }
    EXPECT_EQ(recorder.read(text.size() - 1, 10), "\n");
    EXPECT_EQ(recorder.read(text.size(), 10), "");
    EXPECT_EQ(recorder.read(0, 0), "");
    // Every step after the head is whole: a misplaced piece would garble one.
    const std::vector<std::string> lines = linesOf(text);
    const auto live = std::find(lines.begin(), lines.end(), "# Live from 0.000 s on.");
    ASSERT_NE(live, lines.end());
    std::size_t n = 0;
    for (auto line = live + 1; line + 1 != lines.end(); ++line, ++n) {
        const std::size_t action = n / 2;
        const std::string want = n % 2 == 0 ? (action == 0 ? "advance 0" : "advance 1")
                                            : "gpi 3 7 " + std::to_string(action % 2);
        ASSERT_EQ(*line, want) << "line " << n << " after the head";
    }
    EXPECT_GT(n, 100000u);
}

// A scratch folder, gone with the test.
struct Scratch {
    std::filesystem::path folder;
    Scratch() {
        folder = std::filesystem::temp_directory_path() /
                 ("vesk-recording-" + std::to_string(std::chrono::steady_clock::now()
                                                         .time_since_epoch()
                                                         .count()));
        std::filesystem::create_directories(folder);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string path(const char* name) const { return (folder / name).string(); }
};

// Only a new file or a regular one takes a recording: a device or a pipe
// would block the start or feed a download without end, a link hides which
// file is replaced.
TEST(RecordingFile, OnlyARegularOrNewFileIsTaken) {
    Scratch scratch;
    std::ofstream(scratch.path("old.vesk")) << "an old rehearsal\n";
    std::filesystem::create_directory(scratch.folder / "folder");
    struct Row {
        std::string path;
        const char* refusal;  // null: taken
        bool replaces;
    };
    std::vector<Row> rows = {
        {scratch.path("new.vesk"), nullptr, false},
        {scratch.path("old.vesk"), nullptr, true},
        {"", "needs a file name", false},
        {scratch.path("folder"), "is a folder", false},
    };
#ifndef _WIN32
    std::filesystem::create_symlink(scratch.folder / "old.vesk", scratch.folder / "link.vesk");
    std::filesystem::create_symlink(scratch.folder / "nowhere", scratch.folder / "dangling.vesk");
    ASSERT_EQ(mkfifo(scratch.path("pipe").c_str(), 0600), 0);
    rows.push_back({scratch.path("link.vesk"), "link.vesk is a symbolic link", false});
    rows.push_back({scratch.path("dangling.vesk"), "is a symbolic link", false});
    rows.push_back({scratch.path("pipe"), "is not a regular file", false});
    rows.push_back({"/dev/zero", "/dev/zero is not a regular file", false});
    rows.push_back({"/dev/full", "is not a regular file", false});
#endif
    for (const Row& row : rows) {
        bool replaces = !row.replaces;
        std::string error;
        EXPECT_EQ(Recorder::checkFile(row.path, replaces, error), row.refusal == nullptr)
            << row.path << ": " << error;
        if (row.refusal != nullptr) {
            EXPECT_NE(error.find(row.refusal), std::string::npos) << row.path << ": " << error;
            // Refused at the start too, without opening it (a pipe would block).
            Timeline timeline;
            Facility facility(Environment(), timeline, false);
            Recorder recorder(facility, timeline);
            RecordingStart start;
            start.file = row.path;
            if (!row.path.empty()) {
                EXPECT_FALSE(recorder.start(start, error)) << row.path;
            }
        } else {
            EXPECT_EQ(replaces, row.replaces) << row.path;
        }
    }
#ifndef _WIN32
    std::ifstream target(scratch.path("old.vesk"));
    std::string kept;
    std::getline(target, kept);
    EXPECT_EQ(kept, "an old rehearsal") << "nothing is written through a refused link";
#endif
}

// A download gets the bytes this run wrote and nothing else: not the old
// content it replaced, not what someone appends; fewer when the file is cut.
TEST(RecordingFile, ReadsBackOnlyWhatThisRunWrote) {
    Scratch scratch;
    const std::string file = scratch.path("rehearsal.vesk");
    std::ofstream(file) << std::string(100000, 'x') << "\n";
    Timeline timeline;
    Facility facility(Environment(), timeline, false);
    Recorder recorder(facility, timeline);
    RecordingStart start;
    start.file = file;
    std::string error;
    ASSERT_TRUE(recorder.start(start, error)) << error;
    for (std::int32_t i = 0; i < 3000; ++i) {
        Recorder::Action action(&recorder, "", Recorder::gpiStep(3, 7, i % 2));
        facility.advance(1);
    }
    const std::size_t written = static_cast<std::size_t>(std::filesystem::file_size(file));
    EXPECT_EQ(recorder.size(), written);
    const std::string text = readAll(recorder, 4096);
    EXPECT_EQ(text.size(), written);
    EXPECT_EQ(text.find('x'), std::string::npos) << "the old content is replaced";
    EXPECT_EQ(text.substr(text.size() - 10), "gpi 3 7 1\n");

    std::ofstream(file, std::ios::app) << "appended by someone else\n";
    EXPECT_EQ(readAll(recorder, 1 << 20), text);
    EXPECT_EQ(recorder.read(written, 100), "");

    std::filesystem::resize_file(file, 10);
    EXPECT_EQ(recorder.read(0, 1 << 20), text.substr(0, 10));
    EXPECT_EQ(recorder.read(20, 100), "");
}

#ifdef VESK_HOST_WITH_WEB
// One answer of `length` bytes ('a' + offset % 26 each), in pieces.
struct PieceRouter : web::Router {
    std::size_t length = 0;
    std::vector<std::pair<std::size_t, std::size_t>> asked;  // offset, max of each piece read
    std::size_t given = 0;                                   // bytes handed out

    Next route(const web::Request&, web::Reply& reply) override {
        reply.contentType = "text/plain";
        reply.length = length;
        reply.piece = [this](std::size_t offset, std::size_t max) {
            asked.emplace_back(offset, max);
            std::string piece;
            for (std::size_t at = offset; at < length && piece.size() < max; ++at) {
                piece += static_cast<char>('a' + at % 26);
            }
            given += piece.size();
            return piece;
        };
        return Next::Answer;
    }
    web::Reply answer(const web::Request&) override { return web::Reply(); }
    void openStream(web::Socket, web::ConnectionSlot, const web::Request&) override {}
};

struct Download {
    std::string header;
    std::string body;
};

// Serves one connection on 127.0.0.1 with small socket buffers, so that
// the client's pace is felt, and fetches the answer, pausing `pause` before
// it starts to read and `every` between reads of 4 KiB.
Download download(PieceRouter& router, const web::ConnectionLimits& limits,
                  std::chrono::milliseconds pause, std::chrono::milliseconds every) {
    namespace asio = boost::asio;
    using tcp = asio::ip::tcp;
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    acceptor.async_accept([&](boost::system::error_code error, tcp::socket socket) {
        if (error) return;
        socket.set_option(asio::socket_base::send_buffer_size(4096), error);
        std::make_shared<web::HttpSession>(std::move(socket), web::ConnectionSlot(), router, limits)
            ->start();
    });
    std::thread server([&io] { io.run(); });

    asio::io_context clientIo(1);
    tcp::socket client(clientIo);
    client.open(tcp::v4());
    client.set_option(asio::socket_base::receive_buffer_size(4096));
    client.connect(acceptor.local_endpoint());
    const std::string request = "GET /recording HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    asio::write(client, asio::buffer(request));
    std::this_thread::sleep_for(pause);
    std::string received;
    char buffer[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (boost::system::error_code error; !error && std::chrono::steady_clock::now() < until;) {
        received.append(buffer, client.read_some(asio::buffer(buffer), error));
        std::this_thread::sleep_for(every);
    }
    client.close();
    server.join();
    Download result;
    const std::size_t end = received.find("\r\n\r\n");
    result.header = received.substr(0, end);
    if (end != std::string::npos) result.body = received.substr(end + 4);
    return result;
}

// A long answer goes out a piece at a time: each piece is read when it is
// due, none longer than pieceBytes, and each has its own deadline, so a
// client slower than the whole answer's deadline but steady gets it all.
TEST(RecordingDownload, ASteadyClientGetsItAllInPieces) {
    web::ConnectionLimits limits;
    limits.pieceBytes = 8192;
    limits.pieceWithin = std::chrono::milliseconds(1000);
    limits.writeWithin = limits.pieceWithin;
    PieceRouter router;
    router.length = 25 * limits.pieceBytes + 1;
    const auto began = std::chrono::steady_clock::now();
    const Download got = download(router, limits, std::chrono::milliseconds(0),
                                  std::chrono::milliseconds(40));
    EXPECT_GT(std::chrono::steady_clock::now() - began, limits.writeWithin)
        << "the client was slower than one deadline for the whole answer";
    EXPECT_NE(got.header.find("Content-Length: " + std::to_string(router.length)),
              std::string::npos)
        << got.header;
    ASSERT_EQ(got.body.size(), router.length);
    for (std::size_t at = 0; at < got.body.size(); ++at) {
        ASSERT_EQ(got.body[at], static_cast<char>('a' + at % 26)) << at;
    }
    ASSERT_EQ(router.asked.size(), 26u);
    for (std::size_t i = 0; i < router.asked.size(); ++i) {
        EXPECT_EQ(router.asked[i].first, i * limits.pieceBytes);
        EXPECT_EQ(router.asked[i].second, i < 25 ? limits.pieceBytes : 1);
    }
}

// A client that stops taking the answer is dropped after one piece's
// deadline, and no more than a few pieces were read for it meanwhile.
TEST(RecordingDownload, AStalledClientIsDroppedHoldingAFewPiecesAtMost) {
    web::ConnectionLimits limits;
    limits.pieceBytes = 8192;
    limits.pieceWithin = std::chrono::milliseconds(500);
    PieceRouter router;
    router.length = 8 * 1024 * 1024;
    const Download got = download(router, limits, std::chrono::milliseconds(2500),
                                  std::chrono::milliseconds(0));
    EXPECT_LT(got.body.size(), router.length) << "dropped before the end";
    EXPECT_LE(router.given, got.body.size() + 4 * limits.pieceBytes)
        << "read ahead of the client by more than a few pieces";
}
#endif

#ifndef _WIN32
TEST(RecordedSteps, EnvironmentNamedFromTheRecording) {
    EXPECT_EQ(pathFrom("/rehearsals/studio", "/rehearsals/env/studio.ini"), "../env/studio.ini");
    EXPECT_EQ(pathFrom("/rehearsals", "/rehearsals/studio.ini"), "studio.ini");
    EXPECT_EQ(pathFrom("/home/a", "/srv/studio.ini"), "/srv/studio.ini");
}
#endif

}  // namespace
}  // namespace vhost
