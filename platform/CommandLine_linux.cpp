#include "platform/CommandLine.h"

#include <QFile>

bool CommandLine::arguments(int argc, char *argv[], QStringList *items)
{
    items->clear();
    for (int i = 0; i < argc; ++i)
        items->append(QFile::decodeName(argv[i]));
    return true;
}
