#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Where the client's events, errors and timings go. Process-wide. Events are
// formed here the way an analytics service would take them; this build has no
// such service: the sink drops them and sends nothing anywhere.
class Telemetry : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
public:
    static Telemetry *instance();

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

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
    // Whether a sink that sends events is at work: never in this build.
    Q_INVOKABLE bool active() const;

    // The id events carry for a user: no address, only a digest of it.
    static QString userIdFor(const QString &email);
    QString userId() const { return m_userId; }

    static constexpr int kErrorMessageLength = 96;

#ifdef KELVRA_TESTING
    // What reached the sink, for tests that check the client's events.
    struct Event {
        QString name;
        QVariantMap params;
        qint64 atMs = 0; // when it was logged, on the monotonic clock
    };
    QList<Event> eventsForTesting() const { return m_events; }
    QStringList breadcrumbsForTesting() const { return m_breadcrumbs; }
    void clearForTesting();
#endif

signals:
    void enabledChanged();

private:
    Telemetry();
    qint64 monotonicMs() const;

    bool m_enabled = true;
    QString m_userId;
    QHash<QString, qint64> m_traces;
#ifdef KELVRA_TESTING
    QList<Event> m_events;
    QStringList m_breadcrumbs;
#endif
};
