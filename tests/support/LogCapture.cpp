#include "support/LogCapture.h"

#include <QList>
#include <QMutex>
#include <QtGlobal>

namespace {

struct Captures
{
    QMutex mutex;
    QList<QStringList *> active;
    QtMessageHandler previous = nullptr;
    bool installed = false;
};

Captures &captures()
{
    static Captures c;
    return c;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Captures &c = captures();
    QtMessageHandler previous;
    {
        QMutexLocker locker(&c.mutex);
        for (QStringList *lines : std::as_const(c.active))
            lines->append(message);
        previous = c.previous;
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

void LogCapture::install()
{
    Captures &c = captures();
    QMutexLocker locker(&c.mutex);
    if (c.installed)
        return;
    c.installed = true;
    c.previous = qInstallMessageHandler(handler);
}

LogCapture::LogCapture()
{
    install();
    Captures &c = captures();
    QMutexLocker locker(&c.mutex);
    c.active.append(&m_lines);
}

LogCapture::~LogCapture()
{
    Captures &c = captures();
    QMutexLocker locker(&c.mutex);
    c.active.removeAll(&m_lines);
}

LogCapture &LogCapture::instance()
{
    static LogCapture capture;
    return capture;
}

void LogCapture::clear()
{
    QMutexLocker locker(&captures().mutex);
    m_lines.clear();
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&captures().mutex);
    return m_lines;
}

QString LogCapture::all() const
{
    return lines().join(QLatin1Char('\n'));
}

int LogCapture::count(const QString &text) const
{
    int n = 0;
    const QStringList all = lines();
    for (const QString &line : all)
        n += line.contains(text) ? 1 : 0;
    return n;
}
