#pragma once

#include <QString>

// Makes links of the client's own schemes ("kelvra", "kelvra-fiddle") start
// the program with the link as its only argument, so that a link clicked in a
// browser reaches the running client through a second start. Windows: the
// current user's registry classes; elsewhere: an XDG desktop entry that
// xdg-mime makes the scheme's default handler.
class UrlScheme
{
public:
    // Writes the registration again every time, so a moved installation
    // re-points it. Schemes other than lower-case letters, digits, "+", "-"
    // and "." are refused.
    static bool registerScheme(const QString &scheme, const QString &programPath);
    // Where the registration lives, for the logs and the tests.
    static QString location(const QString &scheme);
    static bool isValidScheme(const QString &scheme);
};
