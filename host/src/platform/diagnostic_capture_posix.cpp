#include "diagnostic_capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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
volatile int crashMapped = 0;  // the file is longer than what was written: stop at the offset

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
    // The file is made as long as the mapping, all zeros, and written from
    // the start through the offset it shares with descriptor 2: a byte that
    // is no longer zero where reading stopped means the plug-in wrote.
    if (::ftruncate(file_, static_cast<off_t>(mappedLength)) == 0) {
        void* view = ::mmap(nullptr, static_cast<std::size_t>(mappedLength), PROT_READ, MAP_SHARED,
                            file_, 0);
        if (view != MAP_FAILED) {
            mapped_ = static_cast<const unsigned char*>(view);
            return;
        }
    }
    // No mapping: appending writes land at the end whatever the shared
    // offset says, and the end is asked for after every call.
    if (::ftruncate(file_, 0) != 0) {
        problem_ = "cannot capture the plug-in's diagnostics (the temporary file in " + folder +
                   " cannot be emptied: " + std::strerror(errno) +
                   "); they go straight to standard error";
        ::close(file_);
        file_ = -1;
        return;
    }
    ::fcntl(file_, F_SETFL, ::fcntl(file_, F_GETFL) | O_APPEND);
}

DiagnosticCapture::~DiagnosticCapture() {
    end();
    if (mapped_ != nullptr) {
        ::munmap(const_cast<unsigned char*>(mapped_), static_cast<std::size_t>(mappedLength));
    }
    if (file_ >= 0) ::close(file_);
}

long long DiagnosticCapture::writtenEnd() const {
    return static_cast<long long>(::lseek(file_, 0, mapped_ != nullptr ? SEEK_CUR : SEEK_END));
}

std::string DiagnosticCapture::readTo(long long end) {
    std::string text;
    char buffer[4096];
    while (readPos_ < end) {
        const long long want =
            std::min<long long>(static_cast<long long>(sizeof buffer), end - readPos_);
        const ssize_t got =
            ::pread(file_, buffer, static_cast<std::size_t>(want), static_cast<off_t>(readPos_));
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        readPos_ += got;
    }
    crashReadPos = readPos_;
    return text;
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
    crashMapped = mapped_ != nullptr ? 1 : 0;
    crashSaved = saved_;
    crashFile = file_;
}

bool DiagnosticCapture::mayHaveWritten() const {
    if (file_ < 0) return false;
    // Most calls write nothing: the byte where reading stopped is still zero.
    return !late_.empty() || mapped_ == nullptr || readPos_ >= mappedLength ||
           mapped_[readPos_] != 0;
}

std::string DiagnosticCapture::take() {
    if (file_ < 0) return std::string();
    std::string text = std::move(late_);
    late_.clear();
    if (mapped_ != nullptr && readPos_ < mappedLength && mapped_[readPos_] == 0) return text;
    const long long end = writtenEnd();
    if (end <= readPos_) return text;
    text += readTo(end);
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
    // A write that began with a zero byte is not seen by take(): whatever
    // was written and not taken is kept for the next take().
    if (mapped_ != nullptr) {
        const long long end = writtenEnd();
        if (end > readPos_) late_ += readTo(end);
    }
    // Emptied once it holds enough to matter, not after every call: a
    // truncation costs the file system far more than the call itself.
    if (readPos_ < truncateAfter) return;
    if (mapped_ == nullptr) {
        if (::ftruncate(file_, 0) == 0) readPos_ = 0;
        return;
    }
    // Back to zeros from the start, and writing from the start again.
    if (::ftruncate(file_, 0) == 0 && ::ftruncate(file_, static_cast<off_t>(mappedLength)) == 0 &&
        ::lseek(file_, 0, SEEK_SET) == 0) {
        readPos_ = 0;
    }
}

void DiagnosticCapture::releaseAfterCrash() {
    const int file = crashFile;
    const int saved = crashSaved;
    if (file < 0 || saved < 0) return;
    crashFile = -1;
    ::dup2(saved, 2);
    long long pos = crashReadPos;
    const long long end =
        static_cast<long long>(::lseek(file, 0, crashMapped != 0 ? SEEK_CUR : SEEK_END));
    char buffer[4096];
    while (pos < end) {
        const long long want = end - pos < static_cast<long long>(sizeof buffer)
                                   ? end - pos
                                   : static_cast<long long>(sizeof buffer);
        const ssize_t got =
            ::pread(file, buffer, static_cast<std::size_t>(want), static_cast<off_t>(pos));
        if (got <= 0) break;
        if (::write(2, buffer, static_cast<std::size_t>(got)) < 0) break;
        pos += got;
    }
}

}  // namespace vhost
