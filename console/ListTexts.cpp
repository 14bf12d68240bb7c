#include "console/ListTexts.h"

namespace {

using RELAY_STATE = CKOVBCastEngine::RELAY_STATE;

std::string FailedSends(uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " failed send" : " failed sends");
}

}  // namespace

std::string StatusCellText(RELAY_STATE state, uint64_t failedSends)
{
    const std::string status = CKOVBCastEngine::StateText(state);
    // Only while failing: a relay that sends again reads as running, a stopped one as stopped.
    return state == RELAY_STATE::SendFailing && failedSends ? status + ", " + FailedSends(failedSends) : status;
}

std::string ListCellToolTip(const std::string& text, const std::string& reason)
{
    return reason.empty() ? text : text + ": " + reason;
}

std::string StatusCellToolTip(RELAY_STATE state, uint64_t failedSends, const std::string& reason)
{
    std::string tip = ListCellToolTip(StatusCellText(state, failedSends), reason);
    if (state != RELAY_STATE::SendFailing && failedSends)
        tip += " (" + FailedSends(failedSends) + " since it started)";
    return tip;
}

std::string StatusLineText(uint64_t dropped, const std::string& logProblem)
{
    std::string line;
    if (dropped)
        line = "Datagrams dropped by the system (receive buffer full): " + std::to_string(dropped);
    if (!logProblem.empty())
        line += (line.empty() ? "" : "   ") + logProblem;
    return line;
}
