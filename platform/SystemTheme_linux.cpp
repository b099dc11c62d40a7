#include "platform/SystemTheme.h"

#include <QGuiApplication>
#include <QPalette>

bool SystemTheme::appsUseDarkTheme()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}
