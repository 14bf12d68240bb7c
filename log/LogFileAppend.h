#pragma once

#include <string>

// Appends `text` to the log file at `path`, created 0640 (or tighter, by the
// umask) when missing. Only a regular file of this program's user with no
// other name is written: a symbolic link, a FIFO, a device, a file of another
// user or one hard-linked elsewhere could have been planted in a folder that
// others can write, to make the log write where it should not. An existing
// file with wider permissions is narrowed to 0640. The reason in words when
// nothing or not all was written; empty when all was.
[[nodiscard]] std::string AppendToLogFile(const std::string& path, const std::string& text);
