// timeline_printer.h - the timeline as text on a stream.
//
// Readable: one line per event ("  0.500  plugin> IW 12 '2' 20 0"), with
// control characters and bytes that are not UTF-8 shown as escapes, so that
// no text of a plug-in can start a line of its own or reach the terminal as
// an escape sequence. Json: one object per line for tools. Quiet: only
// failures, errors and warnings. Every event is flushed as it is printed,
// so that the output is complete up to the moment a plug-in crashes.
#ifndef VESK_HOST_FRONT_TIMELINE_PRINTER_H
#define VESK_HOST_FRONT_TIMELINE_PRINTER_H

#include <ostream>
#include <string>

#include "facility/timeline.h"

namespace vhost {

enum class OutputMode { Readable, Json, Quiet };

class TimelinePrinter : public TimelineSink {
public:
    TimelinePrinter(std::ostream& out, OutputMode mode) : out_(out), mode_(mode) {}

    // With several components, each event names its component.
    void showComponents(bool show) { showComponents_ = show; }

    void event(const Event& event) override;

private:
    std::ostream& out_;
    OutputMode mode_;
    bool showComponents_ = false;
};

// `text` for one line of the readable output: control characters, C1 codes
// and bytes that are not UTF-8 as \n, \t, \r or \xNN escapes, and a
// backslash as \\, so a NUL (\x00) and the text "\x00" (\\x00) differ.
std::string printable(const std::string& text);

}  // namespace vhost

#endif  // VESK_HOST_FRONT_TIMELINE_PRINTER_H
