#include "platform/SignatureCheck.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <vector>

namespace {

struct ExpectedAttribute
{
    const char *oid;
    const wchar_t *value;
};

// The maker's code-signing certificate subject, compared exactly, in this
// order: the first attribute that differs names the refusal.
const ExpectedAttribute kExpectedSigner[] = {
    {"2.5.4.3", L"Kelvra Inc."},
    {"2.5.4.10", L"Kelvra Inc."},
    {"2.5.4.7", L"Wilmington"},
    {"2.5.4.8", L"Delaware"},
    {"2.5.4.6", L"US"},
};
const wchar_t kExpectedRoot[] = L"Microsoft Identity Verification Root Certificate Authority 2020";
const char kCodeSigning[] = "1.3.6.1.5.5.7.3.3";

QString attributeOf(PCCERT_CONTEXT certificate, const char *oid)
{
    wchar_t buffer[256] = {};
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(oid), buffer, 256);
    if (length <= 1)
        return {};
    return QString::fromWCharArray(buffer);
}

QString thumbprintOf(PCCERT_CONTEXT certificate)
{
    BYTE hash[20] = {};
    DWORD size = sizeof(hash);
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size) || size != sizeof(hash))
        return QStringLiteral("?");
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(hash), int(size)).toHex());
}

bool isForCodeSigning(PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto *usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (qstrcmp(usage->rgpszUsageIdentifier[i], kCodeSigning) == 0)
            return true;
    }
    return false;
}

QString commonNameOf(PCCERT_CONTEXT certificate)
{
    return attributeOf(certificate, szOID_COMMON_NAME);
}

} // namespace

SignatureCheck::Result SignatureCheck::verify(const QString &path)
{
    const std::wstring file = path.toStdWString();
    WINTRUST_FILE_INFO fileInfo {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.c_str();

    GUID policy = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
    // The kept state is released on every way out.
    struct Close
    {
        GUID *policy;
        WINTRUST_DATA *data;
        ~Close()
        {
            data->dwStateAction = WTD_STATEACTION_CLOSE;
            WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), policy, data);
        }
    } close{&policy, &data};

    Result result;
    if (status != 0) {
        result.reason = QStringLiteral("no valid signature (WinVerifyTrust %1)").arg(quint32(status));
        return result;
    }

    CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR *signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    PCCERT_CHAIN_CONTEXT chain = signer ? signer->pChainContext : nullptr;
    if (!chain || chain->cChain < 1 || !chain->rgpChain[0] || chain->rgpChain[0]->cElement < 2) {
        result.reason = QStringLiteral("the signer's certificate chain can't be read");
        return result;
    }
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    PCCERT_CONTEXT leaf = simple->rgpElement[0]->pCertContext;
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if (!leaf || !root) {
        result.reason = QStringLiteral("the signer's certificate chain can't be read");
        return result;
    }

    result.thumbprint = thumbprintOf(leaf);
    if (!isForCodeSigning(leaf)) {
        result.reason = QStringLiteral("the certificate isn't for code signing");
        return result;
    }
    for (const ExpectedAttribute &expected : kExpectedSigner) {
        if (attributeOf(leaf, expected.oid) != QString::fromWCharArray(expected.value)) {
            result.reason = QStringLiteral("signed by someone else (") + QLatin1String(expected.oid) + QLatin1Char(')');
            return result;
        }
    }
    if (commonNameOf(root) != QString::fromWCharArray(kExpectedRoot)) {
        result.reason = QStringLiteral("our name, but not under Microsoft's ID Verified root");
        return result;
    }
    result.accepted = true;
    return result;
}
