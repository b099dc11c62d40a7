// The yardstick for the client's start-up: the least a Qt Quick program does
// to show a window of the same size, printing the same first-frame mark.
// Usage: bench_bare_window WIDTH HEIGHT

#include <QDateTime>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int width = args.size() > 2 ? args.at(1).toInt() : 1000;
    const int height = args.size() > 2 ? args.at(2).toInt() : 660;
    QQmlApplicationEngine engine;
    engine.loadData(QStringLiteral("import QtQuick\nWindow { title: \"Bare\"; color: \"#101418\"; width: %1; "
                                   "height: %2; visible: true }\n")
                        .arg(width)
                        .arg(height)
                        .toUtf8());
    auto *window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    if (!window)
        return 1;
    auto marked = QSharedPointer<QMetaObject::Connection>::create();
    *marked = QObject::connect(window, &QQuickWindow::frameSwapped, &app, [window, marked] {
        QObject::disconnect(*marked);
        std::printf("first-frame %lld %dx%d\n", QDateTime::currentMSecsSinceEpoch(), window->width(),
                    window->height());
        std::fflush(stdout);
    });
    return app.exec();
}
