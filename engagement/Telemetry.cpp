#include "engagement/Telemetry.h"

#include <QElapsedTimer>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("Telemetry"));

#ifdef KELVRA_TESTING
qint64 monotonicMs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}
#endif
} // namespace

Telemetry::Telemetry()
{
    logger.debug() << "No analytics sink is built: events are dropped";
}

Telemetry *Telemetry::instance()
{
    static Telemetry *telemetry = new Telemetry;
    return telemetry;
}

void Telemetry::logEvent(QString name, QVariantMap params)
{
#ifdef KELVRA_TESTING
    m_events.append({name, params, monotonicMs()});
#else
    Q_UNUSED(name)
    Q_UNUSED(params)
#endif
}

void Telemetry::screenView(QString screenName)
{
    Q_UNUSED(screenName)
}

void Telemetry::setUserEmail(QString email)
{
    Q_UNUSED(email)
}

void Telemetry::clearUser()
{
#ifdef KELVRA_TESTING
    m_events.append({QStringLiteral("clear_user"), {}, monotonicMs()});
#endif
}

void Telemetry::breadcrumb(QString message)
{
    Q_UNUSED(message)
}

void Telemetry::traceBegin(QString name)
{
    Q_UNUSED(name)
}

void Telemetry::traceEnd(QString name)
{
    Q_UNUSED(name)
}

void Telemetry::traceCancel(QString name)
{
    Q_UNUSED(name)
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
