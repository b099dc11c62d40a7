#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The service stand-in run as its own program, driven through its control
// socket: what the end-to-end tests start, script and read the record of.
class StandInProgram
{
public:
    StandInProgram();
    ~StandInProgram();

    // Points this process's client at a stand-in under names of its own
    // (`prefix` and the pid; the daemon socket in `dir`); false when the
    // stand-in is not built.
    static bool pointClientHere(const char *prefix, const QString &dir);
    // The arguments that give the stand-in a real OpenVPN server on a
    // namespace address, writing its client configuration to `configFile`.
    static QStringList openVpnServerArguments(const QString &configFile, int portBase);

    // Starts `program` (from the build's bin folder) with a control socket of
    // this process's own and waits until it says it is ready.
    bool start(const QString &program = QStringLiteral("kelvra-service-standin"), const QStringList &arguments = {});
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // One control command ("cmd" and its keys); {"ok": false, ...} on failure.
    QJsonObject control(const char *cmd, const QJsonObject &keys = {});
    bool ok(const char *cmd, const QJsonObject &keys = {}) { return control(cmd, keys).value(QLatin1String("ok")).toBool(); }
    // The recorded calls of one channel ("ipc", "process", "daemon"), of one call name when given.
    QJsonArray calls(const QString &channel, const QString &call = QString());

private:
    QProcess m_process;
    QString m_control;
};
