#include "TestBrowser.h"

#include <QDesktopServices>
#include <QNetworkReply>
#include <QSignalSpy>

#include "api/ApiHost.h"
#include "app/AppManager.h"

TestBrowser::TestBrowser()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
}

TestBrowser::~TestBrowser()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

QString TestBrowser::follow(const QUrl &url, int *status)
{
    QNetworkReply *reply = ApiHost::sharedManager()->get(QNetworkRequest(url));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(10000);
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString location = QString::fromUtf8(reply->rawHeader("Location"));
    reply->deleteLater();
    return location;
}

void TestBrowser::deliver(const QString &link) const
{
    if (auto *app = qobject_cast<AppManager *>(QCoreApplication::instance()))
        app->onReceivedMessage(link.toUtf8());
}
