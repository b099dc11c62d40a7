#include "platform/UrlScheme.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include "app/Logger.h"
#include "platform/DesktopEntry.h"

namespace {

Logger logger(QStringLiteral("ThirdPartyAuth"));

// One entry handles both schemes: the desktop lists the client once.
const char kEntryName[] = "kelvra-links.desktop";
const char *const kSchemes[] = {"kelvra", "kelvra-fiddle"};
constexpr int kXdgMimeLimitMs = 10000;

bool writeEntry(const QString &path, const QString &programPath)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QStringList mimeTypes;
    for (const char *scheme : kSchemes)
        mimeTypes << QStringLiteral("x-scheme-handler/") + QLatin1String(scheme);
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Kelvra\n"
                                         "Exec=%1 %u\n"
                                         "Terminal=false\n"
                                         "NoDisplay=true\n"
                                         "MimeType=%2;\n")
                              .arg(DesktopEntry::execArgument(programPath), mimeTypes.join(QLatin1Char(';')));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(entry.toUtf8());
    return file.commit();
}

// xdg-mime is a shell script that may wait on the desktop; it runs beside the
// event loop and is stopped if it takes too long.
void makeDefaultHandler(const QString &scheme)
{
    auto *process = new QProcess(QCoreApplication::instance());
    process->setProgram(QStringLiteral("xdg-mime"));
    process->setArguments({QStringLiteral("default"), QString::fromLatin1(kEntryName),
                           QStringLiteral("x-scheme-handler/") + scheme});
    process->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(process, &QProcess::finished, process, [process, scheme](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0)
            logger.warning() << "xdg-mime could not make Kelvra the handler of" << scheme << "links, exit code" << code;
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, scheme](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        logger.warning() << "xdg-mime is not available: links of" << scheme << "won't reach Kelvra";
        process->deleteLater();
    });
    QTimer::singleShot(kXdgMimeLimitMs, process, [process] { process->kill(); });
    process->start();
}

} // namespace

QString UrlScheme::location(const QString &scheme)
{
    Q_UNUSED(scheme)
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/applications/")
        + QString::fromLatin1(kEntryName);
}

bool UrlScheme::registerScheme(const QString &scheme, const QString &programPath)
{
    if (!isValidScheme(scheme) || programPath.isEmpty())
        return false;
    if (!writeEntry(location(scheme), programPath)) {
        logger.warning() << "Could not write the link handler entry" << location(scheme);
        return false;
    }
    makeDefaultHandler(scheme);
    return true;
}
