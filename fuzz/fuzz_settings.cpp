// The settings file as an earlier client (or a hand edit) left it: every
// value read through the getters the client uses, including the favourites
// an earlier client stored under nested keys, which the first read rewrites.
// (Writes sync to disk and are few: the reads are what meets the file.)
#include "app/Settings.h"
#include "fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QSettings>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Qt's settings file reader turns "@Variant(...)" text into a value
    // through QDataStream, which believes the lengths it reads: a few bytes
    // can ask it for gigabytes while the file is parsed, before any of our
    // code sees a value. That is Qt's, found here and noted; leaving such
    // files out keeps the fuzzer on the client's own readings.
    if (FuzzSupport::bytes(data, size).contains("@Variant("))
        return 0;
    // A folder of its own each time: Qt keeps files it has read in a cache
    // keyed by path, and a reused path could be answered from it.
    static quint64 round = 0;
    const QString dir = FuzzSupport::scratchDir() + QStringLiteral("/settings-%1").arg(++round);
    QDir().mkpath(dir + QStringLiteral("/Kelvra.Inc"));
    QFile file(dir + QStringLiteral("/Kelvra.Inc/Kelvra.conf"));
    if (file.open(QIODevice::WriteOnly))
        file.write(FuzzSupport::bytes(data, size));
    file.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    {
        Settings settings;
        settings.killSwitch();
        settings.dnsLeakProtection();
        settings.autoConnect();
        settings.startMinimized();
        settings.logging();
        settings.adBlock();
        settings.adBlockETag();
        settings.bypassList();
        settings.bypassSites();
        settings.splitTunnel();
        settings.splitTunnelApps();
        settings.trustedNetworks();
        const int protocol = settings.preferredProtocol();
        if (protocol < 0 || protocol > 5)
            __builtin_trap();
        settings.recentServers();
        settings.lastAccountEmail();
        settings.favorites();
    }
    QDir(dir).removeRecursively();
    return 0;
}
