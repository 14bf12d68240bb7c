#pragma once

#include <string>
#include <string_view>

// Appends `text` with its control characters written as escapes, so that a
// value from a store or a datagram can neither end a log line early (and
// forge the next) nor send a terminal its commands: the settings store's
// "\\", "\n" and "\r", then "\t", and "\xHH" for any other C0 control, DEL
// and the two bytes of a C1 control (U+0080 to U+009F).
void AppendEscapedLogText(std::string& out, std::string_view text);
