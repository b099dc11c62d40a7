#pragma once

#include <QString>
#include <QStringList>

// The operating system's ping program: three echo requests, 1000 ms wait each.
class PingCommand
{
public:
    static QString program();
    static QStringList arguments(const QString &host);
};
