#include "fuzz/FuzzSupport.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
QTemporaryDir *scratch = nullptr;

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
}
}

namespace FuzzSupport {

void init()
{
    static int argc = 1;
    static char name[] = "kelvra-fuzz";
    static char *argv[] = {name, nullptr};
    scratch = new QTemporaryDir;
    qputenv("HOME", scratch->path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (scratch->path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (scratch->path() + QStringLiteral("/data")).toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    new QCoreApplication(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvra.Inc"));
    QCoreApplication::setApplicationName(QStringLiteral("Kelvra"));
    qInstallMessageHandler(silence);
}

QString scratchDir()
{
    return scratch->path();
}

}

// Every target starts the same way; libFuzzer calls this once before the first input.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::init();
    return 0;
}
