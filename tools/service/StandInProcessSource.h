#pragma once

#include <QHash>
#include <QJsonArray>
#include <QProcess>

#include "rep_ipc_process_interface_source.h"

// One privileged process of the stand-in (the `IpcProcessInterface` source):
// a QProcess that the client drives by program number. Program numbers map
// to executables the service trusts; the client never names one. Program 0
// is OpenVPN, whose command line is vetted first (OpenVpnArguments) and
// never run when it would reach beyond this machine. Every call is reported
// through called() for the stand-in's call log.
class StandInProcessSource : public IpcProcessInterfaceSource
{
    Q_OBJECT
public:
    StandInProcessSource(int id, const QHash<int, QString> &programs, QObject *parent = nullptr);
    ~StandInProcessSource() override;

    int id() const { return m_id; }
    // A running OpenVPN restarts as its keepalive makes it when the server
    // stops answering (SIGUSR1): it reports RECONNECTING and tries to reach
    // the server again. False when this process runs no OpenVPN.
    bool restartOpenVpn();

    void start() override;
    void close() override;
    void kill() override;
    void setArguments(const QStringList &arguments) override;
    void setInputChannelMode(QProcess::InputChannelMode mode) override;
    void setNativeArguments(const QString &arguments) override;
    void setProcessChannelMode(QProcess::ProcessChannelMode mode) override;
    void setProgram(int programId) override;
    void setWorkingDirectory(const QString &dir) override;
    QByteArray readAll() override;
    QByteArray readAllStandardError() override;
    QByteArray readAllStandardOutput() override;

signals:
    void called(int id, const QString &name, const QJsonArray &arguments);
    // Why a start was refused (unknown program, a command line that would
    // leave the machine); also reported to the client as FailedToStart.
    void refused(int id, const QString &reason);

private:
    void record(const QString &name, const QJsonArray &arguments = QJsonArray());
    void refuseStart(const QString &reason);
    void logUnreadOutput();

    const int m_id;
    const QHash<int, QString> m_programs;
    int m_programId = -1;
    QStringList m_arguments;
    QProcess m_process;
};
