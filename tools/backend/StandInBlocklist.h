#pragma once

#include "StandInReply.h"
#include "StandInRequest.h"

#include <QByteArray>
#include <QStringList>

// The "client/blocklist" answer: {"domains", "count", "sha256"} with an
// entity tag, and 304 to a request whose "If-None-Match" carries it. The
// count and hash are computed honestly over whatever names it is given, so a
// test makes a bad entry by handing one in; the faults below break the
// document in the ways a real transfer or a faulty publisher could.
class StandInBlocklist
{
public:
    enum class Fault {
        None,
        CountOffByOne,  // "count" one less than the names sent
        UpperCaseHash,  // the right hash in upper-case hexadecimal
        TooMany,        // generated names added up to one more than 300 000
    };

    StandInBlocklist(); // the seed list (seed/blocklist.json)

    void set(const QStringList &domains, Fault fault = Fault::None);
    QStringList domains() const { return m_domains; }
    Fault fault() const { return m_fault; }
    // '"' + the first 16 hex digits of the names' hash + '"'.
    QByteArray etag() const;
    QByteArray document() const { return documentFor(m_domains, m_fault); }

    StandInReply answer(const StandInRequest &request) const;

    // The document for these names with this fault, as the endpoint serves it.
    static QByteArray documentFor(QStringList domains, Fault fault = Fault::None);
    // Lower-case hex SHA-256 of the names joined by "\n", each in Latin-1.
    static QByteArray hashOf(const QStringList &domains);
    // count names "n<i>.ads.example.test", valid under every rule.
    static QStringList generated(int count);

private:
    QStringList m_domains;
    Fault m_fault = Fault::None;
};
