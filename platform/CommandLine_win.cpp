#include "platform/CommandLine.h"

#include <windows.h>
#include <shellapi.h>

bool CommandLine::arguments(int argc, char *argv[], QStringList *items)
{
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    items->clear();
    int count = 0;
    LPWSTR *list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list)
        return false;
    for (int i = 0; i < count; ++i)
        items->append(QString::fromWCharArray(list[i]));
    LocalFree(list);
    return true;
}
