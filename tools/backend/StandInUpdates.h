#pragma once

#include "StandInReply.h"
#include "StandInRequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The backend's update offer and the download host behind it: answers
// "app-version-check" and serves installer files under "/downloads/".
// By default there is no update. A test offers an installer (its bytes and
// file name) and picks how the download goes wrong, if it does; or it sets a
// raw check answer to see how the client reads it.
//
// Links name the stand-in API host (testapi.kelvra.test, accepted as an
// installer host by the stand-in build) on the stand-in's port; the faulty
// ones name another host, or redirect there. The files are served on every
// address, so a client that ignored the link rules would fetch them.
class StandInUpdates
{
public:
    enum class Fault {
        None,
        BadChecksum, // the bytes served differ from the offered checksum in one byte
        WrongSize,   // more bytes served than the offered file has
        WrongHost,   // the link names cdn1.testapi.kelvra.test
        Stall,       // the download is read and never answered
        Redirect,    // the download answers 302 to the same path on cdn1
    };

    static constexpr char kOtherHost[] = "cdn1.testapi.kelvra.test";

    void setPort(quint16 port) { m_port = port; }

    // No update (the default); the download count starts again.
    void clear();
    // Offers `installer` under `fileName`; "sha256" is its honest checksum,
    // unless `sha256` is given (empty: none at all is sent, use "-").
    void offer(const QString &fileName, const QByteArray &installer, Fault fault = Fault::None,
               const QString &updateType = QStringLiteral("optional"), const QString &sha256 = QString());
    // Answers the check with this status and body, whatever the request.
    void setRawAnswer(int status, const QByteArray &body);

    // "https://testapi.kelvra.test:<port>/downloads/<name>" (the host named
    // by the offer's fault).
    QString linkFor(const QString &fileName, Fault fault = Fault::None) const;
    QByteArray installer() const { return m_installer; }
    QJsonObject offerAnswer() const { return m_answer; }
    // Downloads of the offered file asked for since the offer.
    int downloads() const { return m_downloads; }

    StandInReply check(const StandInRequest &request) const;
    StandInReply download(const StandInRequest &request);

private:
    quint16 m_port = 0;
    QString m_fileName;
    QByteArray m_installer;
    Fault m_fault = Fault::None;
    QJsonObject m_answer;
    bool m_raw = false;
    int m_rawStatus = 200;
    QByteArray m_rawBody;
    int m_downloads = 0;
};
