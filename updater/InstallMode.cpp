#include "updater/InstallMode.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <memory>

#include "app/Logger.h"
#include "platform/CheckedCopy.h"
#include "platform/CommandLine.h"
#include "platform/InstallerFile.h"
#include "platform/ProtectedPath.h"
#include "platform/SignatureCheck.h"
#include "platform/UpdateFolder.h"

namespace {

Logger logger(QStringLiteral("Updater"));

// One line per entry, in the update folder, which outlives the process.
void note(const QString &message)
{
    QFile log(InstallMode::logPath());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    log.write((QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') + message + QLatin1Char('\n'))
                  .toUtf8());
}

QString copyPath(const QString &folder)
{
    return QDir::toNativeSeparators(
        folder + QStringLiteral("/Kelvra-update-%1.exe").arg(QCoreApplication::applicationPid()));
}

void removeLeftovers(const QString &folder)
{
    QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral("*.exe")}, QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(name);
}

#ifdef KELVRA_TESTING
// Puts another file in the checked copy's place between its checks and its
// start, as a process with the same rights could.
void swapCopyForTesting(const QString &copy)
{
    const QByteArray other = qgetenv("KELVRA_TEST_SWAP_COPY");
    if (!other.isEmpty())
        std::rename(other.constData(), QFile::encodeName(copy).constData());
}
#endif

} // namespace

QString InstallMode::logPath()
{
    return QDir::toNativeSeparators(UpdateFolder::path() + QStringLiteral("/update.log"));
}

int InstallMode::run(int argc, char *argv[])
{
    QStringList items;
    if (!CommandLine::arguments(argc, argv, &items))
        return BadArguments;
    if (items.size() != 4) {
        logger.warning() << "update: unexpected arguments";
        return BadArguments;
    }
    const QString expected = items.at(3).trimmed().toLower();

    const QString folder = UpdateFolder::path();
    QString reason;
    QDir().mkpath(QFileInfo(folder).absolutePath());
    if (!ProtectedPath::createFolder(folder, &reason)) {
        logger.warning() << "update: the admin-only folder:" << reason;
        return UnsafeFolder;
    }
    removeLeftovers(folder);

    const QString installer = items.at(2);
    if (!InstallerFile::isLocalPath(installer)) {
        note(QStringLiteral("update: not a local file path"));
        return UnusableInstaller;
    }
    QByteArray bytes;
    unsigned systemError = 0;
    switch (InstallerFile::read(installer, kMaxInstallerBytes, &bytes, &systemError)) {
    case InstallerFile::Status::Read:
        break;
    case InstallerFile::Status::NotLocalPath:
        note(QStringLiteral("update: not a local file path"));
        return UnusableInstaller;
    case InstallerFile::Status::CantOpen:
        note(QStringLiteral("update: the downloaded installer can't be opened: %1").arg(systemError));
        return UnusableInstaller;
    case InstallerFile::Status::NotPlainLocal:
        note(QStringLiteral("update: not a plain local file"));
        return UnusableInstaller;
    case InstallerFile::Status::BadSize:
        note(QStringLiteral("update: unexpected installer size"));
        return UnusableInstaller;
    case InstallerFile::Status::CantRead:
        note(QStringLiteral("update: the downloaded installer can't be read"));
        return UnusableInstaller;
    }

    const QString copyFile = copyPath(folder);
    if (!ProtectedPath::createFile(copyFile, bytes, &reason)) {
        note(QStringLiteral("update: the admin-only copy: ") + reason);
        return CopyFailed;
    }
    bytes.clear();

    // From here on the copy is read, checked and started through one handle.
    auto copy = std::make_unique<CheckedCopy>(copyFile);
    auto discard = [&copy, &copyFile] {
        copy.reset();
        QFile::remove(copyFile);
    };
    QByteArray held;
    const bool readable = copy->open() && copy->readAll(&held);
    const QByteArray actual = QCryptographicHash::hash(held, QCryptographicHash::Sha256).toHex();
    held.clear();
    if (expected.isEmpty() || !readable || QString::fromLatin1(actual) != expected) {
        note(QStringLiteral("update: the copy's checksum doesn't match"));
        discard();
        return ChecksumMismatch;
    }

    const SignatureCheck::Result signature = SignatureCheck::verify(copy->pathForChecks());
    note(QStringLiteral("update: signing certificate ") + signature.thumbprint);
    if (!signature.accepted) {
        note(QStringLiteral("update: refused, ") + signature.reason);
        discard();
        return SignatureRefused;
    }

#ifdef KELVRA_TESTING
    swapCopyForTesting(copyFile);
#endif
    if (!copy->start(&systemError)) {
        note(QStringLiteral("update: the installer didn't start: %1").arg(systemError));
        return NotStarted;
    }
    note(QStringLiteral("update: verified installer started"));
    return Started;
}
