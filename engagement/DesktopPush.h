#pragma once

#include <QObject>
#include <QString>

// Desktop notifications from the backend and their inbox. Not built yet: it
// fetches and shows nothing.
class DesktopPush : public QObject
{
    Q_OBJECT
public:
    explicit DesktopPush(QObject *parent = nullptr);

signals:
    // A sample message, shown in the window the way in-app messages are.
    void demoMessage(QString message);
};
