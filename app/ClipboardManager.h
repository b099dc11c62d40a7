#pragma once

#include <QObject>

// Clipboard text for the pages (copying an address, a log path). Published
// now so the pages can bind to it; it offers nothing until the pages need it.
class ClipboardManager : public QObject
{
    Q_OBJECT
public:
    explicit ClipboardManager(QObject *parent = nullptr);
};
