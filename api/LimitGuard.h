#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantList>

// Turns the backend's device-limit refusals into signals for the interface,
// whichever request met them. Process-wide; lives until exit.
class LimitGuard : public QObject
{
    Q_OBJECT
public:
    static constexpr int kConnectionLimitCode = 99998;
    static constexpr int kDeviceLimitCode = 99999;

    static LimitGuard *instance();

    // True when the body was a limit refusal and a signal went out.
    bool check(const QByteArray &body);

signals:
    void deviceLimitReached(QString message);
    void connectionLimitReached(QString message, QVariantList connectedDevices);

private:
    LimitGuard() = default;
};
