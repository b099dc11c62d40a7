// A sign-in link ("kelvra://login?code=…"), a single-sign-on hand-back
// ("kelvra-fiddle://…?state=…"), or any other text a second start passes on
// through the single-instance channel: read the way the running client reads
// a message it receives.
#include "app/AppManager.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(FuzzSupport::bytes(data, size));
    const QString code = AppManager::extractLoginCode(text);
    if (code.size() > 512)
        __builtin_trap();
    const AppManager::HandBack handBack = AppManager::parseHandBack(text);
    AppManager::isHandBackToken(handBack.payload);
    return 0;
}
