#include "platform/SessionName.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

namespace {

// The string form of the SID of the user this process runs as, or empty.
QString userSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    QString sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size > 0) {
        std::vector<BYTE> buffer(size);
        if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
            const auto *user = reinterpret_cast<const TOKEN_USER *>(buffer.data());
            LPWSTR text = nullptr;
            if (ConvertSidToStringSidW(user->User.Sid, &text)) {
                sid = QString::fromWCharArray(text);
                LocalFree(text);
            }
        }
    }
    CloseHandle(token);
    return sid;
}

} // namespace

QString SessionName::scoped(const QString &base)
{
    // The session tells two signed-in users apart; the user's SID also tells
    // apart two users in one session (a program run as another user).
    QString name = base;
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session))
        name += QStringLiteral("-%1").arg(session);
    const QString sid = userSid();
    if (!sid.isEmpty())
        name += QLatin1Char('-') + sid;
    return name;
}
