#include "engagement/Telemetry.h"

#include <QCryptographicHash>
#include <QElapsedTimer>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("Telemetry"));
const char kUserIdSalt[] = "kelvra.telemetry.v1:";
constexpr int kUserIdHexDigits = 32;
} // namespace

Telemetry::Telemetry()
{
    logger.info() << "No analytics service in this build: events are formed and dropped, nothing is sent";
}

Telemetry *Telemetry::instance()
{
    static Telemetry *telemetry = new Telemetry;
    return telemetry;
}

qint64 Telemetry::monotonicMs() const
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}

void Telemetry::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    emit enabledChanged();
}

void Telemetry::logEvent(QString name, QVariantMap params)
{
    if (!m_enabled || name.isEmpty())
        return;
    if (name == QLatin1String("app_error")) {
        // Error texts may be long or carry more than an event should.
        const QString message = params.value(QStringLiteral("message")).toString();
        params.insert(QStringLiteral("message"), message.left(kErrorMessageLength));
    }
#ifdef KELVRA_TESTING
    m_events.append({name, params, monotonicMs()});
#endif
}

void Telemetry::screenView(QString screenName)
{
    breadcrumb(QStringLiteral("screen: ") + screenName);
}

QString Telemetry::userIdFor(const QString &email)
{
    const QByteArray salted = QByteArray(kUserIdSalt) + email.trimmed().toLower().toUtf8();
    return QString::fromLatin1(
        QCryptographicHash::hash(salted, QCryptographicHash::Sha256).toHex().left(kUserIdHexDigits));
}

void Telemetry::setUserEmail(QString email)
{
    m_userId = email.trimmed().isEmpty() ? QString() : userIdFor(email);
}

void Telemetry::clearUser()
{
    m_userId.clear();
}

void Telemetry::breadcrumb(QString message)
{
    if (!m_enabled)
        return;
#ifdef KELVRA_TESTING
    m_breadcrumbs.append(message);
#else
    Q_UNUSED(message)
#endif
}

void Telemetry::traceBegin(QString name)
{
    if (!name.isEmpty())
        m_traces.insert(name, monotonicMs());
}

void Telemetry::traceEnd(QString name)
{
    const auto it = m_traces.constFind(name);
    if (it == m_traces.constEnd())
        return;
    const qint64 duration = monotonicMs() - it.value();
    m_traces.erase(it);
    logEvent(QStringLiteral("perf_trace"),
             {{QStringLiteral("trace_name"), name}, {QStringLiteral("duration_ms"), duration}});
}

void Telemetry::traceCancel(QString name)
{
    m_traces.remove(name);
}

void Telemetry::enablePushMessaging() {}

QString Telemetry::pushToken() const
{
    return {};
}

bool Telemetry::active() const
{
    return false;
}

#ifdef KELVRA_TESTING
void Telemetry::clearForTesting()
{
    m_events.clear();
    m_breadcrumbs.clear();
    m_traces.clear();
    m_userId.clear();
    m_enabled = true;
}
#endif
