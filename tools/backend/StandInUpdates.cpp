#include "StandInUpdates.h"

#include <QCryptographicHash>
#include <QUrl>

namespace {
const char kApiHost[] = "testapi.kelvra.test";
const char kDownloads[] = "/downloads/";
} // namespace

void StandInUpdates::clear()
{
    m_fileName.clear();
    m_installer.clear();
    m_fault = Fault::None;
    m_answer = QJsonObject();
    m_raw = false;
    m_downloads = 0;
}

void StandInUpdates::offer(const QString &fileName, const QByteArray &installer, Fault fault,
                           const QString &updateType, const QString &sha256)
{
    clear();
    m_fileName = fileName;
    m_installer = installer;
    m_fault = fault;
    QString checksum = sha256;
    if (checksum.isEmpty())
        checksum = QString::fromLatin1(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
    else if (checksum == QLatin1String("-"))
        checksum.clear();
    m_answer = QJsonObject{
        {QStringLiteral("success"), true},
        {QStringLiteral("message"), QStringLiteral("Update available.")},
        {QStringLiteral("update_available"), true},
        {QStringLiteral("latest_version"), QStringLiteral("3.7.9")},
        {QStringLiteral("update_type"), updateType},
        {QStringLiteral("download_url"), QStringLiteral("https://kelvra.test/download")},
        {QStringLiteral("installer_url"), linkFor(fileName, fault)},
        {QStringLiteral("sha256"), checksum},
    };
}

void StandInUpdates::setRawAnswer(int status, const QByteArray &body)
{
    m_raw = true;
    m_rawStatus = status;
    m_rawBody = body;
}

QString StandInUpdates::linkFor(const QString &fileName, Fault fault) const
{
    const QString host = QString::fromLatin1(fault == Fault::WrongHost ? kOtherHost : kApiHost);
    return QStringLiteral("https://%1:%2%3%4")
        .arg(host)
        .arg(m_port)
        .arg(QLatin1String(kDownloads), QString::fromLatin1(QUrl::toPercentEncoding(fileName)));
}

StandInReply StandInUpdates::check(const StandInRequest &request) const
{
    if (m_raw)
        return StandInReply::status(m_rawStatus, m_rawBody);
    const QJsonObject body = request.json();
    if (body.value(QLatin1String("current_version")).toString().isEmpty())
        return StandInReply::error(422, QStringLiteral("The current version field is required."));
    if (!m_answer.isEmpty())
        return StandInReply::json(200, m_answer);
    return StandInReply::json(200, QJsonObject{{QStringLiteral("success"), true},
                                               {QStringLiteral("message"), QStringLiteral("No updates available.")},
                                               {QStringLiteral("update_available"), false},
                                               {QStringLiteral("latest_version"), body.value(QLatin1String("current_version"))}});
}

StandInReply StandInUpdates::download(const StandInRequest &request)
{
    const QString name = request.path.mid(int(qstrlen(kDownloads)));
    if (m_fileName.isEmpty() || name != m_fileName)
        return StandInReply::error(404, QStringLiteral("Not found."));
    ++m_downloads;
    const StandInReply::Headers binary{{"Content-Type", "application/octet-stream"}};
    switch (m_fault) {
    case Fault::Stall:
        return StandInReply::stall();
    case Fault::Redirect:
        if (request.host != QLatin1String(kOtherHost)) {
            const QByteArray location = QStringLiteral("https://%1:%2%3")
                                            .arg(QLatin1String(kOtherHost))
                                            .arg(m_port)
                                            .arg(QString::fromLatin1(request.target))
                                            .toUtf8();
            return StandInReply::status(302, QByteArray(), {{"Location", location}});
        }
        return StandInReply::status(200, m_installer, binary);
    case Fault::BadChecksum: {
        QByteArray changed = m_installer;
        if (changed.isEmpty())
            changed.append('\0');
        else
            changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 0x01);
        return StandInReply::status(200, changed, binary);
    }
    case Fault::WrongSize:
        return StandInReply::status(200, m_installer + QByteArray(4096, '\0'), binary);
    case Fault::None:
    case Fault::WrongHost:
        break;
    }
    return StandInReply::status(200, m_installer, binary);
}
