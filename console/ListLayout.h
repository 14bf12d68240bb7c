#pragma once

class QTableWidget;

// How wide the broadcast list's columns are.

// A column's width: its width at 96 dpi scaled to the screen's, and never
// narrower than the text it must show whole.
[[nodiscard]] int ListColumnWidth(int widthAt96Dpi, int logicalDpi, int textWidth);

// What a cell of the list needs beside its text's advance to show it whole.
[[nodiscard]] int ListCellPadding(const QTableWidget& list);
