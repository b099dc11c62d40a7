#pragma once

// Whether the desktop draws its applications dark, so the tray icon can be
// drawn to stand out on the taskbar. Windows: the "AppsUseLightTheme"
// setting of the current user; elsewhere the desktop's palette.
class SystemTheme
{
public:
    static bool appsUseDarkTheme();
};
