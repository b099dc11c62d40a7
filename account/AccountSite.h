#pragma once

#include <QString>

// The account web site the client sends people to: single sign-on pages and
// the signed-in way into the dashboard. A staging build (its API base names a
// "testapi." host) uses the staging site; the stand-in build serves the site
// from the API stand-in itself, on the API's host and port.
namespace AccountSite {

// Scheme, host and port, without a trailing slash.
QString host();

} // namespace AccountSite
