#include "platform/WifiName.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace {

// Each tool gets this long; a missing tool fails at once.
constexpr int kToolWaitMs = 1500;

QByteArray runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // nmcli translates "yes"; in the C locale it is the word we look for.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(kToolWaitMs))
        return {};
    if (!process.waitForFinished(kToolWaitMs)) {
        process.kill();
        process.waitForFinished(kToolWaitMs);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

// nmcli's terse lines are "ACTIVE:SSID" with ':' and '\' in a value escaped
// by a backslash.
QString activeSsid(const QByteArray &output)
{
    for (const QByteArray &line : output.split('\n')) {
        if (!line.startsWith("yes:"))
            continue;
        QByteArray ssid;
        const QByteArray value = line.mid(4);
        for (int i = 0; i < value.size(); ++i) {
            if (value.at(i) == '\\' && i + 1 < value.size())
                ++i;
            ssid.append(value.at(i));
        }
        // An SSID is at most 32 bytes; anything longer is not one.
        if (!ssid.isEmpty() && ssid.size() <= 32)
            return QString::fromUtf8(ssid);
    }
    return {};
}

} // namespace

WifiName::Reading WifiName::readSystem()
{
    // NetworkManager knows the connected network without a scan; iwgetid asks
    // the wireless driver directly where NetworkManager isn't running.
    Reading reading;
    reading.name = activeSsid(runTool(QStringLiteral("nmcli"),
                                      {QStringLiteral("-t"), QStringLiteral("-f"), QStringLiteral("ACTIVE,SSID"),
                                       QStringLiteral("device"), QStringLiteral("wifi"), QStringLiteral("list"),
                                       QStringLiteral("--rescan"), QStringLiteral("no")}));
    if (reading.name.isEmpty()) {
        const QByteArray ssid = runTool(QStringLiteral("iwgetid"), {QStringLiteral("-r")}).trimmed();
        if (ssid.size() <= 32)
            reading.name = QString::fromUtf8(ssid);
    }
    return reading;
}
