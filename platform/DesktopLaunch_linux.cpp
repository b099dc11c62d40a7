#include "platform/DesktopLaunch.h"

#include <QFileDialog>
#include <QProcess>

#include <unistd.h>

bool DesktopLaunch::isElevated()
{
    return ::geteuid() == 0;
}

DesktopLaunch::Result DesktopLaunch::openAsDesktopUser(const QString &program, const QString &folder)
{
    // Root here has no desktop user to hand the start to; the client is not
    // started as root.
    if (isElevated())
        return Result::RefusedElevated;
    return QProcess::startDetached(program, {}, folder) ? Result::Opened : Result::Failed;
}

QString DesktopLaunch::chooseFolder(QWindow *owner, const QString &startFolder)
{
    Q_UNUSED(owner)
    return QFileDialog::getExistingDirectory(nullptr, QString(), startFolder, QFileDialog::ShowDirsOnly);
}
