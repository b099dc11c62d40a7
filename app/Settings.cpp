#include "app/Settings.h"

#include "app/Logger.h"
#include "platform/AutoStart.h"

namespace {

Logger logger(QStringLiteral("Settings"));

const char kKillSwitch[] = "Settings/killSwitch";
const char kDnsLeakProtection[] = "Settings/dnsLeakProtection";
const char kAutoConnect[] = "Settings/autoConnect";
const char kStartMinimized[] = "Settings/startMinimized";
const char kLogging[] = "Settings/logging";
const char kAdBlock[] = "Settings/adBlock";
const char kAdBlockETag[] = "Settings/adBlockETag";
const char kBypassList[] = "Settings/bypassList";
const char kBypassSites[] = "Settings/bypassSites";
const char kSplitTunnel[] = "Settings/splitTunnel";
const char kSplitTunnelApps[] = "Settings/splitTunnelApps";
const char kTrustedNetworks[] = "Settings/trustedNetworks";
const char kPreferredProtocol[] = "Settings/preferredProtocolV2";
const char kLegacyPreferredProtocol[] = "Settings/prefferedProtocol";
const char kRecentServers[] = "Settings/recentServers";
const char kLastAccountEmail[] = "Settings/lastAccountEmail";
const char kDefaultServer[] = "Settings/defaultServer";
const char kFavorites[] = "Favorites";

// The highest protocol a user may prefer; Hysteria2 (6) is never a preference.
constexpr int kLastPreferableProtocol = 5;
// The legacy key was read by clients that knew protocols up to WireGuard only.
constexpr int kFirstProtocolUnknownToLegacy = 3;

QString key(const char *name)
{
    return QString::fromLatin1(name);
}

// QVariant's own conversion turns "true"/"1" into true; anything that is not
// convertible (a list, a map) reads as the fallback instead of as garbage.
bool toBool(const QVariant &value, bool fallback)
{
    if (!value.isValid())
        return fallback;
    if (value.canConvert<bool>() && (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QVariantMap))
        return value.toBool();
    return fallback;
}

// A favourite's key is its name with "%", "/" and "\\" escaped: QSettings reads
// either slash as a group separator, so a name holding one became a subgroup
// and was never listed again. Names without those characters keep the key
// they always had.
QString favoriteKey(const QString &name)
{
    QString escaped;
    escaped.reserve(name.size());
    for (const QChar c : name) {
        if (c == u'%')
            escaped += QLatin1String("%25");
        else if (c == u'/')
            escaped += QLatin1String("%2F");
        else if (c == u'\\')
            escaped += QLatin1String("%5C");
        else
            escaped += c;
    }
    return escaped;
}

QString favoriteName(const QString &key)
{
    QString name;
    name.reserve(key.size());
    for (qsizetype i = 0; i < key.size(); ++i) {
        if (key.at(i) == u'%' && i + 2 < key.size()) {
            const QStringView code = QStringView(key).mid(i + 1, 2);
            const QChar decoded = code.compare(u"25", Qt::CaseInsensitive) == 0   ? QChar(u'%')
                                  : code.compare(u"2F", Qt::CaseInsensitive) == 0 ? QChar(u'/')
                                  : code.compare(u"5C", Qt::CaseInsensitive) == 0 ? QChar(u'\\')
                                                                                  : QChar();
            if (!decoded.isNull()) {
                name += decoded;
                i += 2;
                continue;
            }
        }
        name += key.at(i);
    }
    return name;
}

// Keys an earlier client made from names with a slash: nested inside the group.
bool isNestedFavoriteKey(const QString &key)
{
    return key.contains(u'/');
}

QStringList toStringList(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList();
    if (value.typeId() == QMetaType::QString) {
        const QString single = value.toString();
        return single.isEmpty() ? QStringList() : QStringList{single};
    }
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList list;
        const QVariantList items = value.toList();
        for (const QVariant &item : items) {
            if (item.typeId() == QMetaType::QString)
                list << item.toString();
        }
        return list;
    }
    return {};
}

} // namespace

Settings::Settings(QObject *parent)
    : QObject(parent),
      m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kelvra.Inc"), QStringLiteral("Kelvra"))
{
}

bool Settings::readBool(const char *name, bool fallback) const
{
    return toBool(m_settings.value(key(name)), fallback);
}

void Settings::write(const char *name, const QVariant &value)
{
    m_settings.setValue(key(name), value);
    m_settings.sync();
}

bool Settings::killSwitch() const { return readBool(kKillSwitch); }
void Settings::setKillSwitch(bool enabled) { write(kKillSwitch, enabled); }

bool Settings::dnsLeakProtection() const
{
    // Off only when explicitly switched off: an absent or unreadable value keeps
    // the protection on.
    const QVariant value = m_settings.value(key(kDnsLeakProtection));
    if (!value.isValid())
        return true;
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return true;
}
void Settings::setDnsLeakProtection(bool enabled) { write(kDnsLeakProtection, enabled); }

bool Settings::autoConnect() const { return readBool(kAutoConnect); }
void Settings::setAutoConnect(bool enabled) { write(kAutoConnect, enabled); }
bool Settings::startMinimized() const { return readBool(kStartMinimized); }
void Settings::setStartMinimized(bool enabled) { write(kStartMinimized, enabled); }
bool Settings::logging() const { return readBool(kLogging); }

void Settings::setLogging(bool enabled)
{
    write(kLogging, enabled);
    if (!enabled) {
        Logger::deInit();
        return;
    }
    if (!Logger::init())
        logger.error() << "Logger::init failed";
    switch (Logger::requestServiceLogs(true)) {
    case Logger::ServiceCall::Done:
        break;
    case Logger::ServiceCall::NoLink:
        logger.warning() << "IpcClient init failed";
        break;
    case Logger::ServiceCall::NoRemote:
        logger.error() << "Error occurred while enabling service logs";
        break;
    }
}

bool Settings::adBlock() const { return readBool(kAdBlock); }
void Settings::setAdBlock(bool enabled) { write(kAdBlock, enabled); }

QByteArray Settings::adBlockETag() const
{
    const QVariant value = m_settings.value(key(kAdBlockETag));
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    if (value.typeId() == QMetaType::QString)
        return value.toString().toUtf8();
    return {};
}
void Settings::setAdBlockETag(const QByteArray &tag) { write(kAdBlockETag, tag); }

bool Settings::bypassList() const { return readBool(kBypassList); }
void Settings::setBypassList(bool enabled) { write(kBypassList, enabled); }
QStringList Settings::bypassSites() const { return toStringList(m_settings.value(key(kBypassSites))); }
void Settings::setBypassSites(const QStringList &sites) { write(kBypassSites, sites); }
bool Settings::splitTunnel() const { return readBool(kSplitTunnel); }
void Settings::setSplitTunnel(bool enabled) { write(kSplitTunnel, enabled); }
QStringList Settings::splitTunnelApps() const { return toStringList(m_settings.value(key(kSplitTunnelApps))); }
void Settings::setSplitTunnelApps(const QStringList &apps) { write(kSplitTunnelApps, apps); }
QStringList Settings::trustedNetworks() const { return toStringList(m_settings.value(key(kTrustedNetworks))); }
void Settings::setTrustedNetworks(const QStringList &networks) { write(kTrustedNetworks, networks); }

int Settings::preferredProtocol() const
{
    QVariant value = m_settings.value(key(kPreferredProtocol));
    if (!value.isValid())
        value = m_settings.value(key(kLegacyPreferredProtocol));
    bool ok = false;
    const int protocol = value.toInt(&ok);
    if (!ok || protocol < 1 || protocol > kLastPreferableProtocol)
        return 0;
    return protocol;
}

void Settings::setPreferredProtocol(int protocol)
{
    write(kPreferredProtocol, protocol);
    write(kLegacyPreferredProtocol, protocol < kFirstProtocolUnknownToLegacy ? protocol : 0);
}

QStringList Settings::recentServers() const { return toStringList(m_settings.value(key(kRecentServers))); }

void Settings::addRecentServer(const QString &name)
{
    if (name.isEmpty())
        return;
    QStringList recent = recentServers();
    recent.removeAll(name);
    recent.prepend(name);
    while (recent.size() > kMaxRecentServers)
        recent.removeLast();
    write(kRecentServers, recent);
}

void Settings::clearRecentServers() { m_settings.remove(key(kRecentServers)); }

QString Settings::lastAccountEmail() const
{
    const QVariant value = m_settings.value(key(kLastAccountEmail));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}
void Settings::setLastAccountEmail(const QString &email) { write(kLastAccountEmail, email); }
void Settings::setDefaultServer(const QString &name) { write(kDefaultServer, name); }

void Settings::addFavorite(const QString &name)
{
    if (name.isEmpty())
        return;
    m_settings.beginGroup(key(kFavorites));
    moveNestedFavorites();
    m_settings.setValue(favoriteKey(name), true);
    m_settings.endGroup();
}

void Settings::removeFavorite(const QString &name)
{
    if (name.isEmpty())
        return;
    m_settings.beginGroup(key(kFavorites));
    moveNestedFavorites();
    m_settings.remove(favoriteKey(name));
    m_settings.endGroup();
}

void Settings::clearFavorites() { m_settings.remove(key(kFavorites)); }

QStringList Settings::favorites() const
{
    QSettings &settings = const_cast<QSettings &>(m_settings);
    settings.beginGroup(key(kFavorites));
    QStringList names;
    const QStringList keys = settings.allKeys();
    for (const QString &stored : keys) {
        if (!toBool(settings.value(stored), false))
            continue;
        // A nested key is an earlier client's raw name, slashes and all.
        const QString name = isNestedFavoriteKey(stored) ? stored : favoriteName(stored);
        if (!names.contains(name))
            names << name;
    }
    settings.endGroup();
    return names;
}

void Settings::moveNestedFavorites()
{
    // Removing a nested key takes the keys below it along, so every value is
    // read before anything is removed.
    QList<QPair<QString, bool>> nested;
    const QStringList keys = m_settings.allKeys();
    for (const QString &stored : keys) {
        if (isNestedFavoriteKey(stored))
            nested.append({stored, toBool(m_settings.value(stored), false)});
    }
    for (const QPair<QString, bool> &entry : std::as_const(nested))
        m_settings.remove(entry.first);
    for (const QPair<QString, bool> &entry : std::as_const(nested)) {
        if (entry.second)
            m_settings.setValue(favoriteKey(entry.first), true);
    }
}

bool Settings::autoStart() const { return AutoStart::isEnabled(); }
void Settings::setAutoStart(bool enabled) { AutoStart::setEnabled(enabled); }

QVariant Settings::value(const QString &name) const { return m_settings.value(name); }

void Settings::setValue(const QString &name, const QVariant &value)
{
    m_settings.setValue(name, value);
    m_settings.sync();
}
