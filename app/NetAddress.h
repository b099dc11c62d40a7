#pragma once

#include <QHostAddress>

// What an address is, seen from outside any tunnel.
class NetAddress
{
public:
    // An IPv4 address on the public internet: not loopback, link-local,
    // private use, "this network" (0.0.0.0/8), multicast or broadcast. Only
    // such an address may be pinged or probed outside the tunnel.
    static bool isPublicIpv4(const QHostAddress &address);
};
