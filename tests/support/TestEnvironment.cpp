#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QNetworkInterface>

namespace {
QTemporaryDir *homeDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/kelvra-test-XXXXXX"));
    return &dir;
}
} // namespace

void TestEnvironment::isolate()
{
    // A child process started by an isolated test shares its parent's home.
    if (qEnvironmentVariableIsSet("KELVRA_TEST_HOME"))
        return;
    const QString root = homeDir()->path();
    qputenv("KELVRA_TEST_HOME", root.toUtf8());
    const QString runtime = root + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

QString TestEnvironment::home()
{
    return qEnvironmentVariable("KELVRA_TEST_HOME");
}

QString TestEnvironment::binDir()
{
    const QString fromCtest = qEnvironmentVariable("KELVRA_BIN_DIR");
    return fromCtest.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/../../bin") : fromCtest;
}

bool TestEnvironment::inPrivateNetwork()
{
    return QNetworkInterface::allAddresses().contains(QHostAddress(QStringLiteral("1.1.1.1")));
}

QHostAddress TestEnvironment::ownLoopbackAddress()
{
    // 127.0.0.0/8 is all loopback; the low addresses are the stand-in hosts'.
    const quint32 pid = quint32(QCoreApplication::applicationPid());
    return QHostAddress(quint32(0x7F000000) | ((0x350000 + pid) & 0xFFFFFF));
}
