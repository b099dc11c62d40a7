#pragma once

#include <QString>

// Whether an installer was signed by the maker, before it is run with
// administrator rights. On Windows that is the file's Authenticode signature:
// the maker's certificate (by its subject) for code signing, under
// Microsoft's identity-verification root. On Linux it is an Ed25519 signature
// appended to the file, checked with OpenSSL against the maker's public key
// that ships inside the client (the way the kernel signs its modules).
// Used by the client's install mode and by Kelvra Setup alike.
class SignatureCheck
{
public:
    struct Result
    {
        bool accepted = false;
        QString reason;     // empty when accepted
        QString thumbprint; // the signer's, lower-case hex; empty when never read
    };

    static Result verify(const QString &path);

#ifdef KELVRA_TESTING
    // Linux: the public key (PEM) installers must be signed with, instead of
    // the one built in. Also read from "KELVRA_TEST_SIGNING_KEY" (a PEM file),
    // which reaches the elevated install mode.
    static void setPublicKeyForTesting(const QByteArray &pem);
#endif
};
