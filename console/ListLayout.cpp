#include "console/ListLayout.h"

#include <QStyle>
#include <QTableWidget>

#include <algorithm>

int ListColumnWidth(int widthAt96Dpi, int logicalDpi, int textWidth)
{
    return std::max(widthAt96Dpi * logicalDpi / 96, textWidth);
}

int ListCellPadding(const QTableWidget& list)
{
    // The style's text margin on either side, the grid line, and a pixel
    // for an advance that is not whole.
    const int margin = list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
    return 2 * margin + (list.showGrid() ? 1 : 0) + 1;
}
