#include "updater/UpdateCheckAnswer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

UpdateCheckAnswer UpdateCheckAnswer::parse(const QByteArray &data, int statusCode)
{
    UpdateCheckAnswer answer;
    answer.statusCode = statusCode;

    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    const bool parsed = error.error == QJsonParseError::NoError;
    answer.parseError = error.errorString();
    const QJsonObject object = document.object();
    answer.message = object.value(QLatin1String("message")).toString();

    if (statusCode == 404) {
        answer.verdict = Verdict::NoVersionInfo;
        return answer;
    }
    if (statusCode >= 400 && statusCode <= 499) {
        answer.verdict = Verdict::Rejected;
        return answer;
    }
    if (statusCode < 200 || statusCode > 299 || !parsed) {
        answer.verdict = Verdict::Failed;
        return answer;
    }

    const QJsonValue flag = object.value(QLatin1String("update_available"));
    const bool available = flag.isBool() ? flag.toBool() : answer.message == QLatin1String("Update available.");
    if (!available) {
        answer.verdict = Verdict::NotAvailable;
        answer.recognised = flag.isBool() || answer.message == QLatin1String("No updates available.");
        return answer;
    }

    answer.verdict = Verdict::Available;
    auto text = [&object](const char *key) { return object.value(QLatin1String(key)).toString(); };
    answer.downloadUrl = text("download_url");
    answer.updateType = text("update_type");
    answer.installerUrl = text("installer_url");
    answer.sha256 = text("sha256");
    answer.latestVersion = text("latest_version");
    answer.setupUrl = text("setup_url");
    answer.setupSha256 = text("setup_sha256");
    // A size is a whole, positive number of bytes; anything else counts as
    // none given (0), which the size check reads as "not checked".
    const QJsonValue size = object.value(QLatin1String("setup_size"));
    const double number = size.toDouble(-1);
    if (size.isDouble() && number >= 1 && number <= 9007199254740992.0 && number == qint64(number))
        answer.setupSize = qint64(number);
    return answer;
}
