// The backend's "app-version-check" answer with any status: the body the
// client reads its update offer from (links, checksum, version, kind).
#include "fuzz/FuzzSupport.h"
#include "updater/UpdateCheckAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks a status the client tells apart.
    static const int statuses[] = {200, 201, 204, 301, 400, 401, 404, 422, 429, 500, 503, 0};
    const int status = statuses[data[0] % (sizeof statuses / sizeof statuses[0])];
    UpdateCheckAnswer::parse(FuzzSupport::bytes(data + 1, size - 1), status);
    return 0;
}
