#include "connection/NetworkIdentifier.h"

#include <QCryptographicHash>
#include <QNetworkInterface>

#include "api/ApiHost.h"

namespace {
#ifdef KELVRA_TESTING
const QList<NetworkIdentifier::Interface> *&testInterfaces()
{
    static const QList<NetworkIdentifier::Interface> *value = nullptr;
    return value;
}
#endif

bool vpnLike(const NetworkIdentifier::Interface &interface)
{
    if (interface.isVirtual)
        return true;
    static const char *const prefixes[] = { "utun", "tun", "tap", "wg", "awg", "kelvra", "ppp", "ipsec" };
    const QString name = interface.name.toLower();
    for (const char *prefix : prefixes) {
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    }
    static const char *const parts[] = { "kelvra", "wintun", "tap-windows", "wireguard" };
    const QString human = interface.humanReadableName.toLower();
    for (const char *part : parts) {
        if (human.contains(QLatin1String(part)))
            return true;
    }
    return false;
}
} // namespace

#ifdef KELVRA_TESTING
void NetworkIdentifier::setInterfacesForTesting(const QList<Interface> *interfaces)
{
    testInterfaces() = interfaces;
}
#endif

QList<NetworkIdentifier::Interface> NetworkIdentifier::interfaces()
{
#ifdef KELVRA_TESTING
    if (testInterfaces())
        return *testInterfaces();
#endif
    QList<Interface> interfaces;
    for (const QNetworkInterface &system : QNetworkInterface::allInterfaces()) {
        const QNetworkInterface::InterfaceFlags flags = system.flags();
        interfaces.append(Interface { system.name(), system.humanReadableName(),
                                      flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning),
                                      flags.testFlag(QNetworkInterface::IsLoopBack) || system.type() == QNetworkInterface::Loopback,
                                      system.type() == QNetworkInterface::Virtual, system.addressEntries() });
    }
    return interfaces;
}

QString NetworkIdentifier::current()
{
    return fromInterfaces(interfaces(), ApiHost::isStagingBuild());
}

QString NetworkIdentifier::fromInterfaces(const QList<Interface> &interfaces, bool staging)
{
    for (const Interface &interface : interfaces) {
        if (!interface.upAndRunning || interface.loopback || vpnLike(interface))
            continue;
        // Only the first remaining interface names the network.
        for (const QNetworkAddressEntry &entry : interface.addresses) {
            const QHostAddress address = entry.ip();
            const int prefix = entry.prefixLength();
            if (address.protocol() != QAbstractSocket::IPv4Protocol || address.isLinkLocal() || prefix <= 0)
                continue;
            const quint32 mask = prefix >= 32 ? 0xffffffffu : ~((quint32(1) << (32 - prefix)) - 1);
            QString text = QStringLiteral("%1/%2/%3").arg(interface.name).arg(address.toIPv4Address() & mask).arg(prefix);
            if (staging)
                text += QStringLiteral("/staging");
            return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).left(8).toHex());
        }
        return QString();
    }
    return QString();
}
