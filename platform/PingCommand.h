#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The operating system's ping program: three echo requests, 1000 ms wait each.
class PingCommand
{
public:
    static QString program();
    static QStringList arguments(const QString &host);
    // The environment ping runs in, chosen so that its output has the form the
    // pinger reads.
    static QProcessEnvironment environment();
};
