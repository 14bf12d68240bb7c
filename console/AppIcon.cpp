#include "console/AppIcon.h"

#include <QString>

QIcon AppIcon()
{
    // Rendered from console/icons/orma-broadcast-server.svg (scripts/render-icons.sh).
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}
