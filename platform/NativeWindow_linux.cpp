#include "platform/NativeWindow.h"

// The desktop's window manager draws the frame here: nothing to style.
void NativeWindow::setDarkFrame(QWindow *, bool) {}
void NativeWindow::setRoundedCorners(QWindow *) {}
void NativeWindow::setAppUserModelId(const char *) {}
void NativeWindow::allowAnyForegroundWindow() {}
