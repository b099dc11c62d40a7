#pragma once

#include <QObject>
#include <QString>

// Messages from the backend shown inside the window. Not built yet: it
// fetches nothing; messages handed to it by the client itself are passed on.
class InAppMessages : public QObject
{
    Q_OBJECT
public:
    explicit InAppMessages(QObject *parent = nullptr);

signals:
    void messageReady(QString message);
};
