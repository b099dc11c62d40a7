#include "app/ThemeIconProvider.h"

#include <QIcon>

namespace {
constexpr int kDefaultSize = 48;
constexpr int kLargestSize = 256;
} // namespace

ThemeIconProvider::ThemeIconProvider()
    : QQuickImageProvider(QQuickImageProvider::Pixmap)
{
}

QPixmap ThemeIconProvider::requestPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    // The name comes from files any program may install: it only ever picks
    // an icon of the theme, and a size that can't grow without bound.
    const int side = qBound(1, requestedSize.isValid() ? qMax(requestedSize.width(), requestedSize.height()) : kDefaultSize,
                            kLargestSize);
    const QIcon icon = QIcon::fromTheme(id);
    const QPixmap pixmap = icon.isNull() ? QPixmap() : icon.pixmap(side, side);
    if (size)
        *size = pixmap.size();
    return pixmap;
}
