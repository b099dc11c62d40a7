#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

// Measures round-trip times with the operating system's ping program, at most
// eight processes at a time.
class Pinger : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxProcesses = 8;
    static constexpr int kKillAfterMs = 6000;

    explicit Pinger(QObject *parent = nullptr);
    ~Pinger() override;

    // Queues every public IPv4 address of the list (no loopback, link-local or
    // private-use address, and no IPv6); processes start on later turns of the
    // event loop, one per turn.
    void measure(const QStringList &hosts);
    // Forgets what is queued; running processes finish normally.
    void clearQueue();

    int running() const { return m_running; }
    QStringList queued() const { return m_queue; }

    // Whether an address may be pinged at all.
    static bool isPingable(const QString &host);
    // The smallest round-trip time of the reply lines in ping's output, in whole
    // milliseconds, or -1 when there is none. Reads both the Windows form
    // ("time=12ms TTL=117", "time<1ms TTL=128", in any language) and the Linux
    // one in the C locale ("icmp_seq=1 ttl=64 time=12.3 ms"); a line of any
    // other form gives no time.
    static int parseOutput(const QByteArray &output);

#ifdef KELVRA_TESTING
    // Runs another program in place of ping: it gets these arguments, then the host.
    void setCommandForTesting(const QString &program, const QStringList &arguments);
#endif

signals:
    void result(QString host, int ms);
    void idle();

private:
    void scheduleStart();
    void startNext();
    void start(const QString &host);
    void finish(const QString &host, int ms);

    QStringList m_queue;
    QSet<QString> m_queued;  // the queue's hosts, for the duplicate check
    int m_running = 0;
    bool m_startPending = false;
    QString m_testProgram;
    QStringList m_testArguments;
};
