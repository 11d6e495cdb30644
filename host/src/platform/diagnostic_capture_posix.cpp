#include "diagnostic_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vhost {

namespace {

// The capture in use, for the crash guard: plain values a signal handler may read.
volatile int crashFile = -1;
volatile int crashSaved = -1;
volatile long long crashReadPos = 0;

}  // namespace

DiagnosticCapture::DiagnosticCapture(bool enabled) {
    if (!enabled) return;
    // An unlinked temporary file rather than a pipe: a plug-in that writes a
    // lot in one call can never block on a full pipe.
    const char* dir = std::getenv("TMPDIR");
    const std::string folder = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    std::string pattern = folder + "/vesk-host-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    file_ = ::mkstemp(name.data());
    if (file_ < 0) {
        problem_ = "cannot capture the plug-in's diagnostics (no writable temporary file in " +
                   folder + ": " + std::strerror(errno) +
                   "); they go straight to standard error";
        return;
    }
    ::unlink(name.data());
    // Appending writes land at the end whatever the shared offset says.
    ::fcntl(file_, F_SETFL, ::fcntl(file_, F_GETFL) | O_APPEND);
}

DiagnosticCapture::~DiagnosticCapture() {
    end();
    if (file_ >= 0) ::close(file_);
}

void DiagnosticCapture::begin() {
    if (file_ < 0 || saved_ >= 0) return;
    std::fflush(stderr);
    saved_ = ::dup(2);
    if (saved_ < 0) return;
    if (::dup2(file_, 2) < 0) {
        ::close(saved_);
        saved_ = -1;
        return;
    }
    crashReadPos = readPos_;
    crashSaved = saved_;
    crashFile = file_;
}

std::string DiagnosticCapture::take() {
    if (file_ < 0) return std::string();
    // Most calls write nothing: the file's end says so without a read.
    const off_t end = ::lseek(file_, 0, SEEK_END);
    if (end >= 0 && static_cast<long long>(end) <= readPos_) return std::string();
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::pread(file_, buffer, sizeof buffer, static_cast<off_t>(readPos_));
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        readPos_ += got;
    }
    crashReadPos = readPos_;
    return text;
}

void DiagnosticCapture::end() {
    if (saved_ < 0) return;
    crashFile = -1;
    crashSaved = -1;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
    // Emptied once it holds enough to matter, not after every call: a
    // truncation costs the file system far more than the call itself.
    if (readPos_ >= truncateAfter && ::ftruncate(file_, 0) == 0) readPos_ = 0;
}

void DiagnosticCapture::releaseAfterCrash() {
    const int file = crashFile;
    const int saved = crashSaved;
    if (file < 0 || saved < 0) return;
    crashFile = -1;
    ::dup2(saved, 2);
    long long pos = crashReadPos;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::pread(file, buffer, sizeof buffer, static_cast<off_t>(pos));
        if (got <= 0) break;
        if (::write(2, buffer, static_cast<std::size_t>(got)) < 0) break;
        pos += got;
    }
}

}  // namespace vhost
