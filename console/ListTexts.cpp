#include "console/ListTexts.h"

std::string StatusCellText(const std::string& status, uint32_t failedSends)
{
    return failedSends ? status + ", " + std::to_string(failedSends) + " failed sends" : status;
}

std::string ListCellToolTip(const std::string& text, const std::string& reason)
{
    return reason.empty() ? text : text + ": " + reason;
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
