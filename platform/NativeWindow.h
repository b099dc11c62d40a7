#pragma once

class QWindow;

// Styling of the native window frame and the process's shell identity.
// Only Windows has these; elsewhere the calls do nothing.
class NativeWindow
{
public:
    static void setDarkFrame(QWindow *window, bool dark);
    static void setRoundedCorners(QWindow *window);
    static void setAppUserModelId(const char *id);
    static void allowAnyForegroundWindow();
};
