#include "vpn/TapController.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSysInfo>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("TapController"));

QString &testExecutable()
{
    static QString path;
    return path;
}
} // namespace

QString TapController::executablePath()
{
    if (!testExecutable().isEmpty())
        return testExecutable();
#ifdef Q_OS_WIN
    const QString architecture = QSysInfo::currentCpuArchitecture();
    const bool x86 = architecture == QLatin1String("i386") || architecture == QLatin1String("x86");
    return QCoreApplication::applicationDirPath()
        + (x86 ? QStringLiteral("\\openvpn_x86\\openvpn.exe") : QStringLiteral("\\openvpn\\openvpn.exe"));
#else
    return QStringLiteral("/usr/sbin/openvpn");
#endif
}

bool TapController::checkAndSetup()
{
    const QString path = executablePath();
    logger.info() << "OpenVPN path:" << path;
    QProcess process;
    process.start(path, { QStringLiteral("--version") });
    if (process.waitForStarted(30000)) {
        process.waitForFinished(1000);
        QString version = QString::fromLocal8Bit(process.readAll());
        version.remove(QLatin1Char('\r'));
        logger.info() << "TapController: openvpn.exe found, version:" << version;
        return true;
    }
    logger.error() << "TapController: openvpn.exe NOT found";
    logger.error() << "TapController::checkAndSetup :: openvpn.exe not found";
    return false;
}

#ifdef KELVRA_TESTING
void TapController::setExecutableForTesting(const QString &path)
{
    testExecutable() = path;
}
#endif
