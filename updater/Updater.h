#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Downloads the installer an update check offered, checks its link, its
// SHA-256 and its size, and hands the verified file to the elevated install
// mode, after which the client quits so the installer can replace it. Links
// and redirects off the maker's download host are refused before a byte is
// fetched; a failed or cancelled download deletes its file. What survives the
// restart (reconnect after it, the version last run) is kept in the settings.
class Updater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
public:
    explicit Updater(QObject *parent = nullptr);
    ~Updater() override;

    int progress() const { return m_progress; }
    bool busy() const { return m_busy; }

    Q_INVOKABLE QString justUpdatedTo();
    Q_INVOKABLE void setReconnectAfterUpdate(bool reconnect);
    Q_INVOKABLE bool takeReconnectAfterUpdate();

    // The check answer's offer of the Setup program: kept, not downloaded;
    // the installer link is what the client updates through.
    void setSetupOffer(const QString &url, const QString &sha256, qint64 size);
    QString setupUrl() const { return m_setupUrl; }

    // The downloaded file of the current or last download.
    QString filePath() const { return m_filePath; }

    static constexpr int kTransferTimeoutMs = 60000;
    static constexpr int kQuitDelayMs = 1500;

#ifdef KELVRA_TESTING
    // What happens instead of quitting once the install mode has the file,
    // and which program is started in install mode (the test program is
    // not the client).
    void setQuitForTesting(std::function<void()> quit) { m_quit = std::move(quit); }
    void setInstallProgramForTesting(const QString &program) { m_installProgram = program; }
    void setTransferTimeoutForTesting(int ms) { m_transferTimeoutMs = ms; }
#endif

signals:
    void progressChanged();
    void busyChanged();
    void started();
    void installing();
    void installed();
    void failed(QString message);

public slots:
    void start(QString installerUrl, QString sha256, QString updateType);
    void cancel();

private:
    void download();
    void onReadyRead();
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void onRedirected(const QUrl &url);
    void verifyAndHandOver();
    void handOver(const QString &actualSha256);
    void failUpdate(const QString &message);
    void releaseReply();
    void discardFile();
    void setBusy(bool busy);
    void setProgress(int progress);

    QNetworkAccessManager *m_manager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QFile *m_file = nullptr;
    QString m_url;
    QString m_sha256;
    qint64 m_size = 0;
    QString m_installerUrl;
    QString m_installerSha256;
    QString m_setupUrl;
    QString m_setupSha256;
    qint64 m_setupSize = 0;
    QString m_filePath;
    int m_progress = 0;
    bool m_busy = false;
    bool m_cancelled = false;
    // Set when the answer broke a rule of its own (an off-host redirect, a
    // file past any installer's size): the reply is aborted for that reason.
    QString m_refusal;
    QString m_refusalMessage;
    qint64 m_received = 0;
    int m_transferTimeoutMs = kTransferTimeoutMs;
    std::function<void()> m_quit;
    QString m_installProgram;
};
