#include "engagement/SpeedTest.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>

#include "account/TokenManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("SpeedTest"));

QNetworkRequest speedRequest(const QString &path)
{
    QNetworkRequest request{QUrl(ApiHost::url(path))};
    ApiHost::stampClient(request);
    request.setRawHeader("Cache-Control", "no-store");
    const QString token = TokenManager::instance()->getToken();
    if (!token.isEmpty())
        request.setRawHeader("Authorization", QByteArray("Bearer ") + token.toUtf8());
    return request;
}

// Upload bytes no link can compress.
QByteArray noise(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 0x9e3779b9u;
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state);
    }
    return bytes;
}
} // namespace

SpeedTest::SpeedTest(QObject *parent) : QObject(parent)
{
    m_phaseTimer.setSingleShot(true);
    connect(&m_phaseTimer, &QTimer::timeout, this, [this] { finishPhase(true); });
}

SpeedTest::~SpeedTest()
{
    stopTransfer();
}

#ifdef KELVRA_TESTING
void SpeedTest::setLimitsForTesting(qint64 downloadBytes, qint64 uploadBytes, int phaseLimitMs)
{
    m_downloadLimit = downloadBytes > 0 ? downloadBytes : kDownloadBytes;
    m_uploadLimit = uploadBytes > 0 ? uploadBytes : kUploadBytes;
    m_phaseLimitMs = phaseLimitMs > 0 ? phaseLimitMs : kPhaseLimitMs;
}
#endif

double SpeedTest::mbps(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) * 8.0 / (double(ms) * 1000.0) : 0;
}

void SpeedTest::start()
{
    if (running())
        return;
    m_downloadMbps = 0;
    m_uploadMbps = 0;
    m_errorText.clear();
    logger.info() << "Speed test started";
    startDownload();
}

void SpeedTest::cancel()
{
    if (!running())
        return;
    stopTransfer();
    logger.info() << "Speed test cancelled";
    setPhase(QStringLiteral("idle"));
}

void SpeedTest::stopTransfer()
{
    m_phaseTimer.stop();
    if (QNetworkReply *reply = m_reply.data()) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void SpeedTest::startDownload()
{
    QNetworkRequest request = speedRequest(QStringLiteral("speed-test/download"));
    QUrl url = request.url();
    url.setQuery(QUrlQuery{{QStringLiteral("bytes"), QString::number(m_downloadLimit)}});
    request.setUrl(url);
    QNetworkReply *reply = ApiHost::sharedManager()->get(request);
    // Nothing is kept: the bytes are counted as they come and dropped.
    reply->setReadBufferSize(256 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply != m_reply)
            return;
        onTransferred(m_bytes + reply->skip(reply->bytesAvailable()), m_downloadLimit);
    });
    setPhase(QStringLiteral("download"));
    watch(reply, m_downloadLimit);
}

void SpeedTest::startUpload()
{
    QNetworkRequest request = speedRequest(QStringLiteral("speed-test/upload"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/octet-stream"));
    QNetworkReply *reply = ApiHost::sharedManager()->post(request, noise(m_uploadLimit));
    connect(reply, &QNetworkReply::uploadProgress, this, [this, reply](qint64 sent, qint64) {
        // The last report may say 0 of 0 once the body is gone.
        if (reply == m_reply && sent > m_bytes)
            onTransferred(sent, m_uploadLimit);
    });
    setPhase(QStringLiteral("upload"));
    watch(reply, m_uploadLimit);
}

void SpeedTest::watch(QNetworkReply *reply, qint64 limitBytes)
{
    Q_UNUSED(limitBytes)
    m_reply = reply;
    m_bytes = 0;
    m_cutAtLimit = false;
    m_currentMbps = 0;
    m_progress = 0;
    emit progressChanged();
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onPhaseFinished(reply); });
    m_clock.start();
    m_phaseTimer.start(m_phaseLimitMs);
}

void SpeedTest::onTransferred(qint64 bytes, qint64 limitBytes)
{
    m_bytes = bytes;
    const qint64 elapsed = m_clock.elapsed();
    m_currentMbps = mbps(m_bytes, elapsed);
    m_progress = qBound(0.0, qMax(double(m_bytes) / double(limitBytes), double(elapsed) / m_phaseLimitMs), 1.0);
    emit progressChanged();
    // A server that sends more than was asked is cut off at the bound.
    if (m_phase == QLatin1String("download") && m_bytes >= limitBytes && m_reply) {
        m_cutAtLimit = true;
        finishPhase(false);
    }
}

void SpeedTest::onPhaseFinished(QNetworkReply *reply)
{
    if (reply != m_reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299) {
        const QNetworkReply::NetworkError error = reply->error();
        m_reply = nullptr;
        m_phaseTimer.stop();
        reply->deleteLater();
        if (status == 401)
            AuthGuard::check401(reply->request().rawHeader("Authorization"));
        logger.warning() << "Speed test" << m_phase << "failed: error" << int(error) << "HTTP" << status;
        fail(status == 429 ? tr("Too many speed tests just now. Try again in a few minutes.")
                           : tr("The speed test server didn't answer. Try again later."));
        return;
    }
    if (m_phase == QLatin1String("download"))
        m_bytes += reply->skip(reply->bytesAvailable());
    else
        m_bytes = m_uploadLimit; // answered: the backend took the whole body
    finishPhase(false);
}

void SpeedTest::finishPhase(bool timedOut)
{
    const qint64 elapsed = m_clock.elapsed();
    const qint64 bytes = m_bytes;
    stopTransfer();
    if (bytes < kMinMeasuredBytes) {
        logger.warning() << "Speed test" << m_phase << "moved" << bytes << "bytes in" << elapsed << "ms";
        fail(timedOut ? tr("The connection is too slow to measure.") : tr("The speed test server sent too little to measure."));
        return;
    }
    const double result = mbps(bytes, elapsed);
    if (m_phase == QLatin1String("download")) {
        m_downloadMbps = result;
        logger.info() << "Speed test download:" << QString::number(result, 'f', 1) << "Mbps"
                      << (timedOut ? "(time limit)" : m_cutAtLimit ? "(size limit)" : "");
        startUpload();
        emit changed();
        return;
    }
    m_uploadMbps = result;
    logger.info() << "Speed test upload:" << QString::number(result, 'f', 1) << "Mbps" << (timedOut ? "(time limit)" : "");
    m_currentMbps = 0;
    m_progress = 1;
    emit progressChanged();
    setPhase(QStringLiteral("done"));
}

void SpeedTest::fail(const QString &text)
{
    stopTransfer();
    m_errorText = text;
    m_currentMbps = 0;
    emit progressChanged();
    setPhase(QStringLiteral("failed"));
}

void SpeedTest::setPhase(const QString &phase)
{
    m_phase = phase;
    emit changed();
}
