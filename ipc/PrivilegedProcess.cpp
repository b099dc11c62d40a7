#include "ipc/PrivilegedProcess.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("PrivilegedProcess"));
}

PrivilegedProcess::PrivilegedProcess() = default;

PrivilegedProcess::~PrivilegedProcess()
{
    logger.info() << "PrivilegedProcess::~PrivilegedProcess()";
}
