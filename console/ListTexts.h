#pragma once

#include "engine/BroadcastEngine.h"

#include <cstdint>
#include <string>

// Texts of the broadcast list and the status line under it, apart from the widgets.

// The "Connection Status" cell: the engine's status, and while its sends
// fail, how many have failed since it started.
[[nodiscard]] std::string StatusCellText(CKOVBCastEngine::RELAY_STATE state, uint64_t failedSends);

// The tool tip of a list cell: its whole text, which a narrow column may
// cut, and after a status of failure the system's reason in words.
[[nodiscard]] std::string ListCellToolTip(const std::string& text, const std::string& reason = {});

// The status cell's tool tip: ListCellToolTip of its text, and the sends
// that failed since the start once the cell no longer counts them.
[[nodiscard]] std::string StatusCellToolTip(CKOVBCastEngine::RELAY_STATE state, uint64_t failedSends,
                                            const std::string& reason);

// The status line: what the relays could not help (datagrams the system
// dropped for a full receive buffer) and the event log's own trouble.
[[nodiscard]] std::string StatusLineText(uint64_t dropped, const std::string& logProblem);
