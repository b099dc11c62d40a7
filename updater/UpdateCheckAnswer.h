#pragma once

#include <QByteArray>
#include <QString>

// What the backend's version-check answer says, read from the raw bytes and
// the HTTP status alone. Kept apart from the controller that acts on it so
// that any byte sequence can be fed to it directly (hostile answers, fuzzing)
// without a network or an event loop.
class UpdateCheckAnswer
{
public:
    enum class Verdict {
        NoVersionInfo, // 404: the backend knows no version for this client
        Rejected,      // any other 4xx: the check ends without a retry
        Failed,        // no 2xx answer, or no JSON: try again later
        Available,     // an update is offered
        NotAvailable,  // no update
    };

    static UpdateCheckAnswer parse(const QByteArray &data, int statusCode);

    Verdict verdict = Verdict::Failed;
    int statusCode = 0;
    // The JSON parser's own text ("no error occurred" when it parsed).
    QString parseError;
    QString message;
    // A no-update answer that said so in a way this client knows: the
    // "update_available" flag, or the message "No updates available.".
    bool recognised = true;

    QString downloadUrl;
    QString updateType;
    QString installerUrl;
    QString sha256;
    QString latestVersion;
    // The Setup program's offer; kept, not used for the download.
    QString setupUrl;
    QString setupSha256;
    qint64 setupSize = 0;
};
