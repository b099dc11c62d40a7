#pragma once

#include <QObject>
#include <QString>

#include "app/LogLine.h"

// A named logger: every line it writes says which module wrote it.
// Each module keeps one static instance with its own name.
class Logger : public QObject
{
    Q_OBJECT
public:
    explicit Logger(const QString &module, QObject *parent = nullptr);

    QString module() const { return m_module; }

    LogLine debug() const { return LogLine(m_module, LogLine::Debug); }
    LogLine info() const { return LogLine(m_module, LogLine::Info); }
    LogLine warning() const { return LogLine(m_module, LogLine::Warning); }
    LogLine error() const { return LogLine(m_module, LogLine::Critical); }

    // The process-wide file log. `service` picks the service's log instead of
    // the client's; the client always runs with its own.
    static bool init(bool service = false);
    static void deInit();
    static bool clear(bool service);
    static bool isFileLogOpen();

    // Asks the Kelvra service to switch or clear its own log.
    enum class ServiceCall { Done, NoLink, NoRemote };
    static ServiceCall requestServiceLogs(bool enabled);
    static bool setServiceLogsEnabled(bool enabled);
    static bool clearServiceLogs();

    static QString userLogsDir();
    static QString userLogsFilePath();
    static QString serviceLogsDir();
    static QString serviceLogsFilePath();

    // Makes sure the line filter is in place even while no file log runs, so a
    // tunnel configuration never reaches standard output either.
    static void installFilter();

private:
    QString m_module;
};
