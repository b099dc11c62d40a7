#include <QApplication>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include "platform/NativeWindow.h"
#include "setup/SetupBackend.h"

int main(int argc, char *argv[])
{
    // Widgets only for the folder picker where the system has none of its own.
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kelvra Setup"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvra"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVRA_VERSION));
    for (const char *weight : {"Regular", "Medium", "SemiBold", "Bold"})
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/Poppins-%1.ttf").arg(QLatin1String(weight)));
    QGuiApplication::setFont(QFont(QStringLiteral("Poppins")));

    SetupBackend backend(app.arguments().mid(1));
    qmlRegisterSingletonInstance("Kelvra.Setup", 1, 0, "Setup", &backend);
    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 2;
    if (auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first())) {
        backend.setWindow(window);
        NativeWindow::setRoundedCorners(window);
    }
    backend.start();
    const int result = app.exec();
    return result != 0 ? result : backend.exitCode();
}
