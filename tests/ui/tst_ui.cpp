// The Qt Quick Test program for the pages: the application object is the
// client's own AppManager, so the pages bind to what they bind to at run time.

#include <QtQuickTest>

#include "UiTestSetup.h"
#include "app/AppManager.h"
#include "support/TestEnvironment.h"

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    AppManager app(argc, argv);
    app.setApplicationName(QStringLiteral("Kelvra"));
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    UiTestSetup setup;
    return quick_test_main_with_setup(argc, argv, "tst_ui", QUICK_TEST_SOURCE_DIR, &setup);
}
