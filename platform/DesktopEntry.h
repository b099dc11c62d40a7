#pragma once

#include <QString>

// What the XDG desktop entries the client writes (autostart, link handler)
// share: how a program path goes into an "Exec" line.
namespace DesktopEntry {

// The path in double quotes with the reserved characters escaped, so a path
// with spaces, quotes or percent signs still starts the program it names.
QString quoteExecArgument(const QString &argument);
// The same, but left as it is when it holds only plain characters: simple
// launchers (xdg-open without a desktop among them) don't undo quoting.
QString execArgument(const QString &argument);

} // namespace DesktopEntry
