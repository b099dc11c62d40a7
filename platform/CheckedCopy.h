#pragma once

#include <QByteArray>
#include <QString>

// The installer's copy in the protected update folder, held open from its
// checks to its start. On Windows the handle denies writers and deleters
// while it is held; on Linux the checks read the held file and the start
// executes that very file, so a file put in the copy's place afterwards is
// never the one that runs.
class CheckedCopy
{
public:
    explicit CheckedCopy(const QString &path);
    ~CheckedCopy();
    CheckedCopy(const CheckedCopy &) = delete;
    CheckedCopy &operator=(const CheckedCopy &) = delete;

    bool open();
    // The whole file, read through the held handle; false when it can't be.
    bool readAll(QByteArray *data);
    // The path the signature check reads: one that reaches the held file.
    QString pathForChecks() const;
    // Starts the copy with " /UPDATE", without waiting for it and without
    // handing it any of this process's handles.
    bool start(unsigned *systemError);

private:
    QString m_path;
    quintptr m_handle;
};
