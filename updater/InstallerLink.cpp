#include "updater/InstallerLink.h"

#include <QStringList>

#include "api/ApiHost.h"

namespace {
const char kDownloadHost[] = "download.kelvra.com";
#if defined(KELVRA_STANDIN)
const char kStagingWebHost[] = "testaccount.kelvra.test";
#else
const char kStagingWebHost[] = "testaccount.kelvra.com";
#endif
constexpr int kHttpsPort = 443;

int &acceptedPort()
{
    static int port = kHttpsPort;
    return port;
}
} // namespace

QString InstallerLink::downloadHost()
{
    return QString::fromLatin1(kDownloadHost);
}

QStringList InstallerLink::acceptedHosts()
{
    QStringList hosts{downloadHost()};
    if (ApiHost::isStagingBuild())
        hosts << QString::fromLatin1(kStagingWebHost) << ApiHost::primaryHost();
    return hosts;
}

QString InstallerLink::check(const QUrl &url, const QString &suffix)
{
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("installer link is not https: ") + url.scheme();

    const QString host = url.host(QUrl::FullyDecoded);
    bool known = false;
    for (const QString &accepted : acceptedHosts())
        known = known || host.compare(accepted, Qt::CaseInsensitive) == 0;
    const int port = url.port(kHttpsPort);
    if (!known || (port != kHttpsPort && port != acceptedPort()) || !url.userInfo().isEmpty())
        return QStringLiteral("installer link is not on our download host: ") + host;

    const QString name = url.fileName(QUrl::FullyDecoded);
    if (!name.endsWith(suffix, Qt::CaseInsensitive))
        return QStringLiteral("installer is not a ") + suffix + QStringLiteral(" for this platform: ") + name;
    return {};
}

#ifdef KELVRA_TESTING
void InstallerLink::setAcceptedPortForTesting(int port)
{
    acceptedPort() = port > 0 ? port : kHttpsPort;
}
#endif
