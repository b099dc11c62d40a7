#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include "support/TestEnvironment.h"

// Signs installers the way the release step does, with a key pair made by
// the openssl command for this test run only, and puts the elevation and
// install places of the install mode into a folder of the test's own:
// the signing key the install mode trusts, the update folder, the folder the
// installer stand-in installs into, and the stand-ins for pkexec.
class SignedInstaller
{
public:
    explicit SignedInstaller(const QString &name = QStringLiteral("release"))
    {
        m_key = m_dir.filePath(name + QStringLiteral(".key"));
        m_public = m_dir.filePath(name + QStringLiteral(".pub"));
        run({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("ed25519"),
             QStringLiteral("-out"), m_key});
        run({QStringLiteral("pkey"), QStringLiteral("-in"), m_key, QStringLiteral("-pubout"), QStringLiteral("-out"),
             m_public});
        const QString der = m_dir.filePath(name + QStringLiteral(".der"));
        run({QStringLiteral("pkey"), QStringLiteral("-pubin"), QStringLiteral("-in"), m_public,
             QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"), der});
        m_keyHash = QCryptographicHash::hash(read(der), QCryptographicHash::Sha256);
    }

    bool isValid() const { return !m_keyHash.isEmpty() && QFile::exists(m_key); }
    QString publicKeyPath() const { return m_public; }
    QByteArray publicKeyPem() const { return read(m_public); }

    // The bytes followed by their signature, the key's hash and the marker.
    QByteArray sign(const QByteArray &payload) const
    {
        const QString in = m_dir.filePath(QStringLiteral("payload"));
        const QString out = m_dir.filePath(QStringLiteral("signature"));
        write(in, payload);
        QFile::remove(out);
        run({QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-inkey"), m_key,
             QStringLiteral("-rawin"), QStringLiteral("-in"), in, QStringLiteral("-out"), out});
        return payload + read(out) + m_keyHash + QByteArray("KELVRA-SIGNED\n");
    }

    static QByteArray sha256Hex(const QByteArray &bytes)
    {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    }

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static bool write(const QString &path, const QByteArray &bytes, QFile::Permissions permissions = {})
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        return !permissions || file.setPermissions(permissions);
    }

    // The installer stand-in's program, signed with this key.
    QByteArray signedStandInInstaller() const
    {
        return sign(read(TestEnvironment::binDir() + QStringLiteral("/kelvra-installer-standin")));
    }

private:
    void run(const QStringList &arguments) const
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), arguments);
        openssl.waitForFinished(30000);
    }

    QTemporaryDir m_dir;
    QString m_key;
    QString m_public;
    QByteArray m_keyHash;
};

// The places the elevated install mode and the installer stand-in use, all
// in one temporary folder, handed over through the environment (the install
// mode is a process of its own), and the pkexec stand-ins.
class InstallPlaces
{
public:
    InstallPlaces()
    {
        qputenv("KELVRA_TEST_UPDATE_DIR", updateFolder().toUtf8());
        qputenv("KELVRA_STANDIN_INSTALL_DIR", installFolder().toUtf8());
        SignedInstaller::write(acceptingElevation(), "#!/bin/sh\nexec \"$@\"\n", executable());
        // pkexec's own exit code when its prompt is dismissed.
        SignedInstaller::write(decliningElevation(), "#!/bin/sh\nexit 126\n", executable());
    }
    ~InstallPlaces()
    {
        qunsetenv("KELVRA_TEST_UPDATE_DIR");
        qunsetenv("KELVRA_STANDIN_INSTALL_DIR");
    }

    QString root() const { return m_dir.path(); }
    QString updateFolder() const { return m_dir.filePath(QStringLiteral("update")); }
    QString installFolder() const { return m_dir.filePath(QStringLiteral("installed")); }
    QString acceptingElevation() const { return m_dir.filePath(QStringLiteral("elevate-accept")); }
    QString decliningElevation() const { return m_dir.filePath(QStringLiteral("elevate-decline")); }
    QString installLog() const
    {
        return QString::fromUtf8(SignedInstaller::read(updateFolder() + QStringLiteral("/update.log")));
    }
    QString installerRuns() const
    {
        return QString::fromUtf8(SignedInstaller::read(installFolder() + QStringLiteral("/installer.log")));
    }

    static QFile::Permissions executable()
    {
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther;
    }

private:
    QTemporaryDir m_dir;
};
