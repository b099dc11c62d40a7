#include "platform/SignatureCheck.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

// A signed installer is the installer's own bytes followed by a trailer:
//   the Ed25519 signature of those bytes (64 bytes),
//   the SHA-256 of the signer's public key in DER form (32 bytes),
//   the marker "KELVRA-SIGNED\n" (14 bytes).
// The key hash only tells "signed by someone else" apart from "changed after
// signing" in the reason; the verdict rests on the signature alone. The
// release step makes the signature with `openssl pkeyutl -sign -rawin`.
namespace {

// The maker's release key. Its private half is held by the release process
// and never enters this repository.
const char kReleaseKey[] = "-----BEGIN PUBLIC KEY-----\n"
                           "MCowBQYDK2VwAyEAeI0lSb0MnR0+1OVm7jXoVJ/AAgmZH1ou4nADPCagDcY=\n"
                           "-----END PUBLIC KEY-----\n";

const QByteArray kMarker("KELVRA-SIGNED\n");
constexpr int kSignatureBytes = 64;
constexpr int kKeyHashBytes = 32;
constexpr qint64 kMaxFileBytes = 512LL * 1024 * 1024 + 4096;

#ifdef KELVRA_TESTING
QByteArray &testKey()
{
    static QByteArray pem;
    return pem;
}
#endif

QByteArray publicKeyPem()
{
#ifdef KELVRA_TESTING
    if (!testKey().isEmpty())
        return testKey();
    const QString file = qEnvironmentVariable("KELVRA_TEST_SIGNING_KEY");
    if (!file.isEmpty()) {
        QFile key(file);
        if (key.open(QIODevice::ReadOnly))
            return key.read(64 * 1024);
        return {};
    }
#endif
    return QByteArray(kReleaseKey);
}

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key loadKey(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    if (!bio)
        return nullptr;
    Key key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

QByteArray keyHash(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    if (size <= 0)
        return {};
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray(reinterpret_cast<const char *>(der), size), QCryptographicHash::Sha256);
    OPENSSL_free(der);
    return hash;
}

SignatureCheck::Result refuse(const QString &reason, const QString &thumbprint = QString())
{
    return SignatureCheck::Result{false, reason, thumbprint};
}

} // namespace

SignatureCheck::Result SignatureCheck::verify(const QString &path)
{
    const Key key = loadKey(publicKeyPem());
    if (!key)
        return refuse(QStringLiteral("the signing key can't be read"));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes)
        return refuse(QStringLiteral("the file can't be read"));
    const QByteArray bytes = file.readAll();
    const qsizetype trailer = kSignatureBytes + kKeyHashBytes + kMarker.size();
    if (bytes.size() <= trailer || !bytes.endsWith(kMarker))
        return refuse(QStringLiteral("no valid signature (unsigned)"));

    const qsizetype signedSize = bytes.size() - trailer;
    const QByteArray signature = bytes.mid(signedSize, kSignatureBytes);
    const QByteArray signer = bytes.mid(signedSize + kSignatureBytes, kKeyHashBytes);
    const QString thumbprint = QString::fromLatin1(signer.toHex());
    if (signer != keyHash(key.get()))
        return refuse(QStringLiteral("signed by someone else (key %1)").arg(thumbprint.left(16)), thumbprint);

    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    const bool valid = context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()), reinterpret_cast<const unsigned char *>(bytes.constData()),
                            size_t(signedSize))
            == 1;
    if (!valid)
        return refuse(QStringLiteral("no valid signature (the file changed after signing)"), thumbprint);
    return Result{true, QString(), thumbprint};
}

#ifdef KELVRA_TESTING
void SignatureCheck::setPublicKeyForTesting(const QByteArray &pem)
{
    testKey() = pem;
}
#endif
