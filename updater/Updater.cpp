#include "updater/Updater.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include "api/ApiHost.h"
#include "app/Logger.h"
#include "platform/Elevation.h"
#include "updater/InstallMode.h"
#include "updater/InstallerLink.h"

namespace {
Logger logger(QStringLiteral("Updater"));

const QString kReconnectKey = QStringLiteral("updater/reconnectAfterUpdate");
const QString kLastRunVersionKey = QStringLiteral("updater/lastRunVersion");
const QString kInstallerSuffix = QStringLiteral(".exe");

QString cannotInstallHere()
{
    return QObject::tr("This update can't be installed automatically. Please download it from the website.");
}

QString mayBeCorrupted()
{
    return QObject::tr("Update verification failed — the download may be corrupted. Please try again.");
}
} // namespace

Updater::Updater(QObject *parent) : QObject(parent) {}

Updater::~Updater()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        discardFile();
    }
    // A file handed to the install mode stays: it may still be reading it.
}

QString Updater::justUpdatedTo()
{
    const QString version = QStringLiteral(KELVRA_VERSION);
    QSettings settings;
    const QString last = settings.value(kLastRunVersionKey).toString();
    if (last == version)
        return {};
    settings.setValue(kLastRunVersionKey, version);
    settings.sync();
    return last.isEmpty() ? QString() : version;
}

void Updater::setReconnectAfterUpdate(bool reconnect)
{
    QSettings settings;
    settings.setValue(kReconnectKey, reconnect);
    settings.sync();
}

bool Updater::takeReconnectAfterUpdate()
{
    QSettings settings;
    const bool reconnect = settings.value(kReconnectKey).toBool();
    settings.remove(kReconnectKey);
    settings.sync();
    return reconnect;
}

void Updater::setSetupOffer(const QString &url, const QString &sha256, qint64 size)
{
    m_setupUrl = url;
    m_setupSha256 = sha256.trimmed().toLower();
    m_setupSize = size;
    if (!url.isEmpty() && (m_setupSha256.isEmpty() || size < 1))
        logger.info() << "Setup offered without checksum or size";
}

void Updater::start(QString installerUrl, QString sha256, QString updateType)
{
    if (m_busy) {
        emit failed(tr("An update is already downloading."));
        return;
    }
    logger.info() << "Update download asked for:" << (updateType.isEmpty() ? QStringLiteral("ordinary") : updateType);
    m_installerUrl = installerUrl;
    m_installerSha256 = sha256;
    m_url = installerUrl;
    m_sha256 = sha256.trimmed().toLower();
    m_size = 0;
    download();
}

void Updater::download()
{
    const QUrl url(m_url, QUrl::StrictMode);
    if (m_url.isEmpty() || !url.isValid()) {
        failUpdate(tr("No installer link was provided."));
        return;
    }
    const QString refusal = InstallerLink::check(url, kInstallerSuffix);
    if (!refusal.isEmpty()) {
        logger.warning() << "refusing installer url:" << refusal;
        failUpdate(cannotInstallHere());
        return;
    }

    m_cancelled = false;
    m_refusal.clear();
    m_refusalMessage.clear();
    m_received = 0;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QString name = url.fileName(QUrl::FullyDecoded);
    if (name.isEmpty())
        name = QStringLiteral("Kelvra-update");
    m_filePath.clear();
    const bool haveCache = QDir().mkpath(cache);
    QTemporaryDir folder(cache + QStringLiteral("/update-XXXXXX"));
    if (haveCache && folder.isValid()) {
        folder.setAutoRemove(false);
        m_filePath = folder.path() + QLatin1Char('/') + name;
        m_file = new QFile(m_filePath, this);
        if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            discardFile();
    }
    if (!m_file) {
        failUpdate(tr("Couldn't create a temporary file for the update."));
        return;
    }

    setBusy(true);
    setProgress(0);
    emit started();

    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeoutMs);
    // Every hop of a redirect must pass the same link rules as the link.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    ApiHost::trustBuildCertificates(request);
    m_reply = m_manager->get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &Updater::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Updater::onProgress);
    connect(m_reply, &QNetworkReply::redirected, this, &Updater::onRedirected);
    connect(m_reply, &QNetworkReply::finished, this, &Updater::onFinished);
}

void Updater::onRedirected(const QUrl &url)
{
    const QString refusal = InstallerLink::check(url, kInstallerSuffix);
    if (refusal.isEmpty()) {
        emit m_reply->redirectAllowed();
        return;
    }
    m_refusal = QStringLiteral("refusing installer redirect: ") + refusal;
    m_refusalMessage = cannotInstallHere();
    m_reply->abort();
}

void Updater::onReadyRead()
{
    if (!m_reply || !m_file)
        return;
    const QByteArray data = m_reply->readAll();
    m_received += data.size();
    // No installer is larger; a server sending on and on would fill the disk.
    if (m_received > InstallMode::kMaxInstallerBytes) {
        m_refusal = QStringLiteral("refusing to launch update: larger than %1 bytes").arg(InstallMode::kMaxInstallerBytes);
        m_refusalMessage = mayBeCorrupted();
        m_reply->abort();
        return;
    }
    if (m_file->write(data) != data.size()) {
        m_refusal = QStringLiteral("the update couldn't be written: ") + m_file->errorString();
        m_refusalMessage = tr("Couldn't create a temporary file for the update.");
        m_reply->abort();
    }
}

void Updater::onProgress(qint64 received, qint64 total)
{
    if (total <= 0)
        return;
    setProgress(int(qBound(qint64(0), received * 100 / total, qint64(100))));
}

void Updater::onFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    if (m_cancelled) {
        releaseReply();
        return;
    }
    if (!m_refusal.isEmpty()) {
        logger.warning() << m_refusal;
        const QString message = m_refusalMessage;
        releaseReply();
        failUpdate(message);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        const QString error = reply->errorString();
        releaseReply();
        failUpdate(tr("Download failed: ") + error);
        return;
    }
    onReadyRead();
    releaseReply();
    if (!m_refusal.isEmpty()) {
        logger.warning() << m_refusal;
        failUpdate(m_refusalMessage);
        return;
    }
    verifyAndHandOver();
}

void Updater::verifyAndHandOver()
{
    const bool flushed = m_file->flush();
    m_file->close();
    if (!flushed || !m_file->open(QIODevice::ReadOnly)) {
        failUpdate(tr("Couldn't read the downloaded update."));
        return;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(m_file)) {
        failUpdate(tr("Couldn't verify the downloaded update."));
        return;
    }
    const QString actual = QString::fromLatin1(hash.result().toHex());
    const qint64 actualSize = m_file->size();
    m_file->close();

    QString reason;
    if (m_sha256.isEmpty())
        reason = QStringLiteral("server provided no checksum");
    else if (actual != m_sha256)
        reason = QStringLiteral("checksum mismatch: expected ") + m_sha256 + QStringLiteral(" got ") + actual;
    else if (m_size >= 1 && actualSize != m_size)
        reason = QStringLiteral("size mismatch: expected %1 got %2").arg(m_size).arg(actualSize);
    if (!reason.isEmpty()) {
        logger.warning() << "refusing to launch update:" << reason;
        failUpdate(m_sha256.isEmpty()
                       ? tr("Update verification failed — no checksum was provided. Please try again later.")
                       : mayBeCorrupted());
        return;
    }
    setProgress(100);
    handOver(actual);
}

void Updater::handOver(const QString &actualSha256)
{
    QString program = QCoreApplication::applicationFilePath();
#ifdef KELVRA_TESTING
    if (!m_installProgram.isEmpty())
        program = m_installProgram;
#endif
    Elevation::startInstallMode(program, m_filePath, actualSha256, this, [this](bool launched) {
        if (!launched) {
            failUpdate(tr("Couldn't start the installer."));
            return;
        }
        logger.info() << "Installer launched, quitting for update";
        emit installing();
        QTimer::singleShot(kQuitDelayMs, this, [this] {
            if (m_quit)
                m_quit();
            else
                QCoreApplication::quit();
        });
    });
}

void Updater::failUpdate(const QString &message)
{
    logger.warning() << "Update failed:" << message;
    discardFile();
    setBusy(false);
    setProgress(0);
    emit failed(message);
}

void Updater::cancel()
{
    if (!m_busy)
        return;
    if (!m_reply) {
        // Downloaded and verified: the install mode has the file now.
        logger.info() << "Update cancel ignored: the installer is being handed over";
        return;
    }
    logger.info() << "Update download cancelled by user";
    m_cancelled = true;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    releaseReply();
    discardFile();
    setBusy(false);
    setProgress(0);
}

void Updater::releaseReply()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
    }
    m_reply = nullptr;
}

void Updater::discardFile()
{
    if (!m_file)
        return;
    m_file->close();
    m_file->remove();
    delete m_file;
    m_file = nullptr;
}

void Updater::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    emit busyChanged();
}

void Updater::setProgress(int progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged();
}
