#pragma once

#include <QList>
#include <QObject>
#include <QString>

class QSslSocket;

// One server's Cloudflare front as the route check dials it.
struct CdnFront
{
    QString candidate; // the server's apiId as text
    QString address;   // an IP address; the check dials port 443 of it
    QString sni;       // TLS peer name and Host header
    QString path;      // WebSocket path, starting with "/"
};

// On a network that blocks VPN protocols only a server whose Cloudflare front
// gets through is worth a "reality-cdn" attempt. This race dials every front
// at once with TLS and a WebSocket upgrade and names the first one that
// answers "HTTP/1.1 101", favouring the run's own server for a moment, so the
// connection controller knows where to insert that attempt. Fronts that never
// connect are dialled again every second until the deadline.
//
// The race decides at most once and then deletes itself later, closing every
// socket; deleting it earlier (the run ended) abandons every check without a
// word. The caller keeps a QPointer and checks its own generation; it never
// deletes the race from a slot of decided() other than with deleteLater().
class CdnRouteRace : public QObject
{
    Q_OBJECT
    // The race's state, readable for diagnosis.
    Q_PROPERTY(bool done READ isDone)
    Q_PROPERTY(QString first READ first)
    Q_PROPERTY(bool chosenLost READ chosenLost)
    Q_PROPERTY(int failed READ failedCount)
public:
    // fronts: the usable candidates in order (a front the usability rule
    // rejects, or one without a candidate, is left out); preferred: the run's
    // own apiId as text, which may be absent from fronts; deadlineMs: when the
    // race gives up waiting.
    CdnRouteRace(const QList<CdnFront> &fronts, const QString &preferred, int deadlineMs, QObject *parent = nullptr);
    ~CdnRouteRace() override;

    // Dials every front. With none to dial the race decides, with no answer,
    // on the next turn of the event loop. Only the first call counts.
    void start();

    // Whether a catalogue entry describes a front the race can dial.
    static bool usable(const QString &address, const QString &sni, const QString &path);

    bool isDone() const { return m_done; }
    QString first() const { return m_first; }
    bool chosenLost() const { return m_chosenLost; }
    int failedCount() const { return m_failed; }

signals:
    // At most once. winner: the answering candidate; empty when none answered.
    void decided(const QString &winner);

private:
    void redial(QSslSocket *socket);
    void dial(QSslSocket *socket);
    void sendUpgrade(QSslSocket *socket);
    void readAnswer(QSslSocket *socket);
    void onSocketError(QSslSocket *socket);
    void answered(const QString &candidate);
    void failed(QSslSocket *socket);
    void decide(const QString &winner);
    const CdnFront &frontOf(const QSslSocket *socket) const;

    QList<CdnFront> m_fronts;
    QList<QSslSocket *> m_sockets; // one per front, same order
    QString m_preferred;
    int m_deadlineMs = 0;
    bool m_started = false;
    bool m_done = false;
    QString m_first;
    bool m_chosenLost = false;
    int m_failed = 0;
};
