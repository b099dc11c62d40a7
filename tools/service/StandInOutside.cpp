#include "tools/service/StandInOutside.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QProcess>

namespace {
Q_LOGGING_CATEGORY(lcOutside, "standin.outside")

constexpr int IpTimeoutMs = 5000;
const QString Loopback = QStringLiteral("lo");

bool onLoopbackInterface(const QHostAddress &address)
{
    const QNetworkInterface lo = QNetworkInterface::interfaceFromName(Loopback);
    for (const QNetworkAddressEntry &entry : lo.addressEntries()) {
        if (entry.ip() == address)
            return true;
    }
    return false;
}
} // namespace

StandInOutside::~StandInOutside()
{
    if (!m_taken.isEmpty())
        setReachable(m_taken, true);
}

bool StandInOutside::inTestNetwork()
{
    return qEnvironmentVariable("KELVRA_IN_NETNS") == QLatin1String("1");
}

bool StandInOutside::runIp(const QStringList &arguments, QString *error)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), arguments);
    if (!ip.waitForFinished(IpTimeoutMs) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0) {
        if (ip.state() != QProcess::NotRunning) {
            ip.kill();
            ip.waitForFinished(1000);
        }
        if (error)
            *error = QStringLiteral("ip %1: %2").arg(arguments.join(QLatin1Char(' ')),
                                                      QString::fromLocal8Bit(ip.readAll()).trimmed());
        return false;
    }
    return true;
}

bool StandInOutside::setReachable(const QStringList &addresses, bool reachable, QString *error)
{
    if (!inTestNetwork()) {
        if (error)
            *error = QStringLiteral("only inside the test network namespace (scripts/netns.sh)");
        return false;
    }
    QStringList problems;
    for (const QString &text : addresses) {
        const QHostAddress address(text);
        if (address.protocol() != QAbstractSocket::IPv4Protocol || address.isLoopback()) {
            problems << QStringLiteral("%1 is no server address").arg(text);
            continue;
        }
        const QString canonical = address.toString();
        const QStringList arguments{QStringLiteral("-4"), QStringLiteral("addr"),
                                    reachable ? QStringLiteral("add") : QStringLiteral("del"),
                                    canonical + QStringLiteral("/32"), QStringLiteral("dev"), Loopback};
        QString problem;
        if (reachable) {
            if (!m_taken.contains(canonical))
                continue; // not ours to put there
            if (!runIp(arguments, &problem)) {
                problems << problem;
                continue;
            }
            m_taken.removeAll(canonical);
            qCInfo(lcOutside) << canonical << "is reachable again";
        } else {
            if (m_taken.contains(canonical))
                continue;
            if (!onLoopbackInterface(address)) {
                problems << QStringLiteral("%1 is not on %2").arg(canonical, Loopback);
                continue;
            }
            if (!runIp(arguments, &problem)) {
                problems << problem;
                continue;
            }
            m_taken << canonical;
            qCInfo(lcOutside) << canonical << "is unreachable now";
        }
    }
    if (error)
        *error = problems.join(QStringLiteral("; "));
    return problems.isEmpty();
}
