#include <cstring>

#include "app/AppManager.h"
#include "platform/NativeWindow.h"
#include "updater/InstallMode.h"

int main(int argc, char *argv[])
{
    if (argc >= 2 && std::strcmp(argv[1], "--install-update") == 0)
        return InstallMode::run(argc, argv);

    NativeWindow::setAppUserModelId("Kelvra.Inc.Kelvra");
    NativeWindow::allowAnyForegroundWindow();

    AppManager app(argc, argv);
    if (!app.forwardToRunningInstance())
        app.startClient();
    return app.exec();
}
