#pragma once

#include <string>

// The tool tip of a broadcast list cell: its whole text, which a narrow
// column may cut, and after an error status the system's reason in words.
[[nodiscard]] std::string ListCellToolTip(const std::string& text, const std::string& reason = {});
