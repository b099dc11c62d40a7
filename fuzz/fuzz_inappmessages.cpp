// The "in-app-messages/sync" answer: the messages the window shows, their kinds, texts, links and buttons.
#include "engagement/InAppMessage.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    bool ok = false;
    InAppMessage::fromSyncAnswer(FuzzSupport::bytes(data, size), &ok);
    return 0;
}
