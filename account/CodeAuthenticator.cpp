#include "account/CodeAuthenticator.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSysInfo>

#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "platform/DeviceInfo.h"

namespace {

QString messageOf(const QJsonObject &answer)
{
    const QString candidates[] = {
        answer.value(QLatin1String("error")).toObject().value(QLatin1String("message")).toString(),
        answer.value(QLatin1String("errors")).toObject().value(QLatin1String("message")).toString(),
        answer.value(QLatin1String("message")).toString(),
    };
    for (const QString &message : candidates) {
        if (!message.isEmpty())
            return message;
    }
    return QCoreApplication::translate("CodeAuthenticator", "Something went wrong. Please try again.");
}

} // namespace

CodeAuthenticator::CodeAuthenticator(QObject *parent)
    : Authenticator(parent), m_request(new NetworkManager(this))
{
    connect(m_request, &NetworkManager::requestFinished, this,
            [this](const QByteArray &response, int) { handleResponse(response); });
    connect(this, &Authenticator::authenticationSucceeded, this, &Authenticator::extractStoreToken);
}

QJsonObject CodeAuthenticator::deviceFields()
{
    return QJsonObject{
        {QStringLiteral("device_os"), QSysInfo::productType()},
        {QStringLiteral("device_os_version"), QSysInfo::productVersion()},
        {QStringLiteral("device_brand"), DeviceInfo::manufacturer()},
        {QStringLiteral("device_model"), DeviceInfo::model()},
    };
}

void CodeAuthenticator::getCode(QString email)
{
    m_request->request(ApiHost::url(QStringLiteral("auth/get-login-code")),
                       QJsonObject{{QStringLiteral("email"), email}}, NetworkManager::POST, QString(), 0, true);
}

void CodeAuthenticator::authenticate(QJsonObject credentials)
{
    const QJsonObject device = deviceFields();
    for (auto it = device.begin(); it != device.end(); ++it)
        credentials.insert(it.key(), it.value());
    m_request->request(ApiHost::url(QStringLiteral("auth/code-login")), credentials, NetworkManager::POST, QString(),
                       0, true);
}

void CodeAuthenticator::handleResponse(QByteArray response)
{
    const QJsonObject answer = QJsonDocument::fromJson(response).object();
    const bool success = answer.value(QLatin1String("success")).toBool(false);
    if (!success) {
        emit authenticationFailed(messageOf(answer));
        return;
    }
    if (response.contains("An email sent")) {
        emit codeSent();
        return;
    }
    if (response.contains("Successfully logged in")) {
        UserManager::setState(UserManager::SignedIn);
        emit authenticationSucceeded(answer);
    }
}
