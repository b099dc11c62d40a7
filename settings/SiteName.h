#pragma once

#include <QString>

// What the user types into the bypass list ("https://WWW.Bank.com/login",
// "*.bank.com.") turned into the one host name the service matches on
// ("bank.com"). Only dotted host names and IPv4 addresses pass: a bare word or
// an IPv6 literal is not something the list can route.
class SiteName
{
public:
    // The host name, or an empty string when the text names no usable site.
    static QString normalise(const QString &typed);
};
