#pragma once

#include <QIcon>

// The program's icon, for the main window, the About box and the tray.
[[nodiscard]] QIcon AppIcon();
