// diagnostic_capture.h - what a plug-in writes to its diagnostic output,
// caught while it runs so that it shows in the timeline where it was written.
//
// On POSIX systems the plug-in writes to file descriptor 2, which is pointed
// at an unlinked temporary file for the length of each call. The file is
// also mapped into memory, so that after a call the host sees whether it
// wrote anything by looking at one byte, without a system call (a large
// facility makes tens of thousands of calls a second). Should the
// plug-in die inside a call, releaseAfterCrash() hands what it wrote in that
// call (its last message, a sanitizer report, the C library's complaint) to
// the real standard error.
#ifndef VESK_HOST_PLATFORM_DIAGNOSTIC_CAPTURE_H
#define VESK_HOST_PLATFORM_DIAGNOSTIC_CAPTURE_H

#include <string>

namespace vhost {

class DiagnosticCapture {
public:
    explicit DiagnosticCapture(bool enabled);
    ~DiagnosticCapture();
    DiagnosticCapture(const DiagnosticCapture&) = delete;
    DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

    // False when capture was asked for but could not be set up; problem()
    // then says why (said once by the caller, never silently dropped).
    bool active() const { return file_ >= 0; }
    const std::string& problem() const { return problem_; }

    // What has been read of the file is dropped once it is this long.
    static constexpr long long truncateAfter = 64 * 1024;
    // How much of the file is mapped (and the file's length while nothing
    // runs past it): what one call writes beyond it is found by a system
    // call instead.
    static constexpr long long mappedLength = truncateAfter + 64 * 1024;

    void begin();
    // False when take() would surely give nothing, found without a system
    // call or a copy (true when it cannot tell so cheaply).
    bool mayHaveWritten() const;
    // The text written since the last take().
    std::string take();
    void end();

    // Async-signal-safe: restores the real standard error and copies to it
    // what the plug-in wrote since the last take(). For the crash guard.
    static void releaseAfterCrash();

private:
    // Where the plug-in's writes have reached: the shared file offset when
    // mapped, the file's end when appending.
    long long writtenEnd() const;
    std::string readTo(long long end);

    int file_ = -1;
    int saved_ = -1;
    long long readPos_ = 0;
    const unsigned char* mapped_ = nullptr;  // the file's first mappedLength bytes, or null
    std::string late_;  // found at end() past what take() saw; given by the next take()
    std::string problem_;
};

}  // namespace vhost

#endif  // VESK_HOST_PLATFORM_DIAGNOSTIC_CAPTURE_H
