#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

// One log line under construction. Values are collected with a space after
// each one; the line is handed to Qt's message system when the builder dies,
// prefixed with the module name of the logger that made it.
class LogLine
{
public:
    enum Level { Debug = 0, Info = 1, Warning = 2, Critical = 3 };

    LogLine(const QString &module, Level level);
    LogLine(LogLine &&other) noexcept;
    LogLine(const LogLine &) = delete;
    LogLine &operator=(const LogLine &) = delete;
    LogLine &operator=(LogLine &&) = delete;
    ~LogLine();

    LogLine &operator<<(const QString &text);
    LogLine &operator<<(const char *text);
    LogLine &operator<<(const QByteArray &text);
    LogLine &operator<<(const QStringList &list);
    LogLine &operator<<(int value);
    LogLine &operator<<(unsigned int value);
    LogLine &operator<<(qint64 value);
    LogLine &operator<<(quint64 value);
    LogLine &operator<<(double value);
    LogLine &operator<<(bool value);

private:
    LogLine &append(const QString &text);

    QString m_module;
    Level m_level;
    QString m_text;
    bool m_active = true;
};
