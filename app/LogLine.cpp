#include "app/LogLine.h"

#include <QDebug>
#include <QMessageLogger>

LogLine::LogLine(const QString &module, Level level)
    : m_module(module), m_level(level)
{
}

LogLine::LogLine(LogLine &&other) noexcept
    : m_module(std::move(other.m_module)), m_level(other.m_level), m_text(std::move(other.m_text))
{
    other.m_active = false;
}

LogLine::~LogLine()
{
    if (!m_active)
        return;
    const QString text = m_text.trimmed();
    QMessageLogger logger;
    switch (m_level) {
    case Debug:
        logger.debug() << m_module << text;
        break;
    case Info:
        logger.info() << m_module << text;
        break;
    case Warning:
        logger.warning() << m_module << text;
        break;
    case Critical:
        logger.critical() << m_module << text;
        break;
    }
}

LogLine &LogLine::append(const QString &text)
{
    m_text += text;
    m_text += QLatin1Char(' ');
    return *this;
}

LogLine &LogLine::operator<<(const QString &text) { return append(text); }
LogLine &LogLine::operator<<(const char *text) { return append(QString::fromUtf8(text)); }
LogLine &LogLine::operator<<(const QByteArray &text) { return append(QString::fromUtf8(text)); }
LogLine &LogLine::operator<<(const QStringList &list) { return append(list.join(QLatin1Char(','))); }
LogLine &LogLine::operator<<(int value) { return append(QString::number(value)); }
LogLine &LogLine::operator<<(unsigned int value) { return append(QString::number(value)); }
LogLine &LogLine::operator<<(qint64 value) { return append(QString::number(value)); }
LogLine &LogLine::operator<<(quint64 value) { return append(QString::number(value)); }
LogLine &LogLine::operator<<(double value) { return append(QString::number(value)); }
LogLine &LogLine::operator<<(bool value) { return append(value ? QStringLiteral("true") : QStringLiteral("false")); }
