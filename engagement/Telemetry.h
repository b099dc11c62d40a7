#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

// Where the client's events, errors and timings go. Process-wide. The
// analytics sink behind it is not built: events are dropped here.
class Telemetry : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
public:
    static Telemetry *instance();

    bool enabled() const { return false; }

    Q_INVOKABLE void logEvent(QString name, QVariantMap params);
    Q_INVOKABLE void screenView(QString screenName);
    Q_INVOKABLE void setUserEmail(QString email);
    Q_INVOKABLE void clearUser();
    Q_INVOKABLE void breadcrumb(QString message);
    Q_INVOKABLE void traceBegin(QString name);
    Q_INVOKABLE void traceEnd(QString name);
    Q_INVOKABLE void traceCancel(QString name);
    Q_INVOKABLE void enablePushMessaging();
    Q_INVOKABLE QString pushToken() const;
    Q_INVOKABLE bool active() const;

#ifdef KELVRA_TESTING
    // What reached the sink, for tests that check the client's events.
    struct Event {
        QString name;
        QVariantMap params;
        qint64 atMs = 0; // when it was logged, on the monotonic clock
    };
    QList<Event> eventsForTesting() const { return m_events; }
    void clearForTesting() { m_events.clear(); }
#endif

signals:
    void enabledChanged();

private:
    Telemetry();
#ifdef KELVRA_TESTING
    QList<Event> m_events;
#endif
};
