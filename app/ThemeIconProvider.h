#pragma once

#include <QQuickImageProvider>

// "image://themeicon/NAME": the desktop's icon of that name (as desktop entries
// name their applications' icons), or no picture when the theme has none.
class ThemeIconProvider : public QQuickImageProvider
{
public:
    ThemeIconProvider();
    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;
};
