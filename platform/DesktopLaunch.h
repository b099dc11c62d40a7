#pragma once

#include <QString>

class QWindow;

// What Kelvra Setup asks of the desktop: start the client as the signed-in
// desktop user even when Setup itself runs elevated (an elevated client
// would run with the wrong rights and the wrong settings), and the system's
// folder picker for the install folder.
class DesktopLaunch
{
public:
    enum class Result { Opened, OpenedThroughShell, Failed, RefusedElevated };
    // Starts `program` in `folder`; never elevated.
    static Result openAsDesktopUser(const QString &program, const QString &folder);
    static bool isElevated();
    // An existing folder, or empty when none was chosen.
    static QString chooseFolder(QWindow *owner, const QString &startFolder);
};
