#include "settings/Blocklist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

bool isNameCharacter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_';
}

bool isName(QStringView name)
{
    if (name.isEmpty() || name.size() > Blocklist::kMaxNameLength)
        return false;
    for (const QChar c : name) {
        if (!isNameCharacter(c.unicode()))
            return false;
    }
    return true;
}

} // namespace

QJsonArray Blocklist::domainsOf(const QByteArray &document)
{
    if (document.size() > kMaxDocumentBytes)
        return {};
    const QJsonObject object = QJsonDocument::fromJson(document).object();
    const QJsonArray domains = object.value(QLatin1String("domains")).toArray();
    if (domains.isEmpty() || domains.size() > kMaxEntries)
        return {};
    if (object.value(QLatin1String("count")).toInteger(-1) != domains.size())
        return {};

    // The hash is fed name by name: the names are checked to be ASCII first,
    // so their Latin-1 bytes are their UTF-16 units narrowed, and the joined
    // text never has to exist as one block.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray bytes;
    bool first = true;
    for (const QJsonValue &value : domains) {
        if (!value.isString())
            return {};
        const QString name = value.toString();
        if (!isName(name))
            return {};
        bytes.resize(0);
        if (!first)
            bytes.append('\n');
        first = false;
        for (const QChar c : name)
            bytes.append(char(c.unicode()));
        hash.addData(bytes);
    }
    if (hash.result().toHex() != object.value(QLatin1String("sha256")).toString().toLatin1())
        return {};
    return domains;
}

QString Blocklist::cachePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/blocklist.json");
}

QByteArray Blocklist::readCache()
{
    QFile file(cachePath());
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxDocumentBytes)
        return {};
    return file.read(kMaxDocumentBytes);
}

bool Blocklist::writeCache(const QByteArray &document, QString *error)
{
    const QString path = cachePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("can't create %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(document) != document.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
