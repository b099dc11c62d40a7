import QtQuick
import QtTest
import com.qt.kelvra 1.0

// The main window as it opens: the real Main.qml, titled for the window
// list and the task bar, at the size the application chose.
TestCase {
    name: "MainWindow"

    function openMainWindow() {
        const component = Qt.createComponent("qrc:/ui/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        const window = component.createObject(null)
        verify(window, "Main.qml made no window")
        return window
    }

    function test_titleAndSize() {
        const window = openMainWindow()
        compare(window.objectName, "mainWindow")
        compare(window.title, "Kelvra")
        window.show()
        tryCompare(window, "visible", true, 5000)
        verify(window.width > 0 && window.height > 0)
        compare(window.width, AppManager.windowWidth)
        compare(window.height, AppManager.windowHeight)
        window.destroy()
    }
}
