// step_text.h - scenario lines written by a program, so that reading them
// back gives exactly the values that were written.
#ifndef VESK_HOST_FRONT_RECORDING_STEP_TEXT_H
#define VESK_HOST_FRONT_RECORDING_STEP_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace vhost {

// A value for a step or an expectation: the text itself when it is plain
// printable ASCII without a blank, '"', '\\' or '#'; otherwise (the empty
// text too) in double quotes with \n, \t, \" and \\ escapes, other bytes
// as they are.
std::string scenarioValue(const std::string& text);
// The same, appended to `out`.
void appendScenarioValue(std::string& out, std::string_view text);

// The text of an "expect sent" line that matches `command`: the command,
// or the part of it before anything the line cannot hold (a line break,
// blanks at the end) or what differs between machines (an absolute path in
// quotes), followed by '*'. Nothing when no such line can match it.
std::optional<std::string> sentPattern(const std::string& command);
// The same, appended to `out`; false (and `out` as it was) when there is none.
bool appendSentPattern(std::string& out, std::string_view command);

// `path` as seen from the folder `from` (both made absolute first); the
// absolute path when the two share no root.
std::string pathFrom(const std::string& from, const std::string& path);

}  // namespace vhost

#endif  // VESK_HOST_FRONT_RECORDING_STEP_TEXT_H
