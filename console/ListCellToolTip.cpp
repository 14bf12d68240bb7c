#include "console/ListCellToolTip.h"

std::string ListCellToolTip(const std::string& text, const std::string& reason)
{
    return reason.empty() ? text : text + ": " + reason;
}
