#include "api/SlowTransferGuard.h"

#include <QNetworkReply>
#include <QSharedPointer>
#include <QTimer>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ApiHost"));

struct Progress
{
    qint64 received = 0;
    qint64 atLastWindow = 0;
    int slowWindows = 0;
};
} // namespace

void SlowTransferGuard::watch(QNetworkReply *reply, int windowMs)
{
    if (!reply || windowMs <= 0 || reply->isFinished())
        return;
    auto progress = QSharedPointer<Progress>::create();
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [progress](qint64 received, qint64) { progress->received = received; });
    auto *timer = new QTimer(reply);
    timer->setInterval(windowMs);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, timer, progress, windowMs] {
        if (reply->isFinished()) {
            timer->stop();
            return;
        }
        const qint64 moved = progress->received - progress->atLastWindow;
        progress->atLastWindow = progress->received;
        progress->slowWindows = moved < kMinBytes ? progress->slowWindows + 1 : 0;
        if (progress->slowWindows < kSlowWindows)
            return;
        timer->stop();
        logger.warning() << QStringLiteral("API: %1%2 brought under %3 bytes in each of %4 windows of %5 ms: given up")
                                .arg(reply->url().host(), reply->url().path())
                                .arg(kMinBytes)
                                .arg(kSlowWindows)
                                .arg(windowMs);
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    timer->start();
}
