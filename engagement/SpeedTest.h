#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Measures download and upload speed against the backend's speed-test
// endpoints, through the tunnel when one is up (the requests take the same
// way as all API traffic). It runs only when the person asks, and each phase
// is bounded twice: by size (kDownloadBytes, kUploadBytes) and by time
// (kPhaseLimitMs, after which the bytes moved so far give the result). Bytes
// received are counted and dropped, never kept. `currentMbps` follows the
// transfer live for the gauge.
class SpeedTest : public QObject
{
    Q_OBJECT
    // "idle", "download", "upload", "done" or "failed".
    Q_PROPERTY(QString phase READ phase NOTIFY changed)
    Q_PROPERTY(bool running READ running NOTIFY changed)
    Q_PROPERTY(double currentMbps READ currentMbps NOTIFY progressChanged)
    // 0 to 1 through the current phase, by bytes or by time, whichever is ahead.
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(double downloadMbps READ downloadMbps NOTIFY changed)
    Q_PROPERTY(double uploadMbps READ uploadMbps NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
public:
    static constexpr qint64 kDownloadBytes = 16 * 1024 * 1024;
    static constexpr qint64 kUploadBytes = 3 * 1024 * 1024;
    static constexpr int kPhaseLimitMs = 10000;
    // Fewer bytes than this in a phase measure nothing but latency.
    static constexpr qint64 kMinMeasuredBytes = 16 * 1024;

    explicit SpeedTest(QObject *parent = nullptr);
    ~SpeedTest() override;

    QString phase() const { return m_phase; }
    bool running() const { return m_phase == QLatin1String("download") || m_phase == QLatin1String("upload"); }
    double currentMbps() const { return m_currentMbps; }
    double progress() const { return m_progress; }
    double downloadMbps() const { return m_downloadMbps; }
    double uploadMbps() const { return m_uploadMbps; }
    QString errorText() const { return m_errorText; }

    Q_INVOKABLE void start();
    Q_INVOKABLE void cancel();

    // Megabits per second for bytes moved in milliseconds (0 for no time).
    static double mbps(qint64 bytes, qint64 ms);

#ifdef KELVRA_TESTING
    void setLimitsForTesting(qint64 downloadBytes, qint64 uploadBytes, int phaseLimitMs);
#endif

signals:
    void changed();
    void progressChanged();

private:
    void startDownload();
    void startUpload();
    void watch(QNetworkReply *reply, qint64 limitBytes);
    void onTransferred(qint64 bytes, qint64 limitBytes);
    void onPhaseFinished(QNetworkReply *reply);
    void finishPhase(bool timedOut);
    void fail(const QString &text);
    void setPhase(const QString &phase);
    void stopTransfer();

    QString m_phase = QStringLiteral("idle");
    double m_currentMbps = 0;
    double m_progress = 0;
    double m_downloadMbps = 0;
    double m_uploadMbps = 0;
    QString m_errorText;
    qint64 m_downloadLimit = kDownloadBytes;
    qint64 m_uploadLimit = kUploadBytes;
    int m_phaseLimitMs = kPhaseLimitMs;

    QPointer<QNetworkReply> m_reply;
    QElapsedTimer m_clock;
    QTimer m_phaseTimer;
    qint64 m_bytes = 0;
    bool m_cutAtLimit = false;
};
