#pragma once

#include <QString>
#include <QStringList>

// Collects the log lines of the process, as handed to Qt's message system.
// A capture made in a test function sees the lines from its creation on;
// instance() is a capture for the whole run (install it from initTestCase(),
// after QTest has put its own handler in place, so lines still reach the
// test's output).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static LogCapture &instance();
    static void install();

    void clear();
    QStringList lines() const;
    QString all() const;
    int count(const QString &text) const;
    bool contains(const QString &text) const { return count(text) > 0; }
    bool anyContains(const QString &text) const { return contains(text); }

private:
    QStringList m_lines;
};
