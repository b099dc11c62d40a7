#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What every fuzz target shares: one application object, silent logs (the
// fuzzer would spend its time writing them), and private data folders so a
// target never touches the user's files.
namespace FuzzSupport {
// Called once, from the LLVMFuzzerInitialize every target shares.
void init();
// The folder the target may write to (application data and settings live under it).
QString scratchDir();
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}
}
