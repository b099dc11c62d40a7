import QtQuick
import QtQuick.Window
import com.qt.kelvra 1.0
import "singletons"

Window {
    id: mainWindow
    objectName: "mainWindow"
    title: "Kelvra"
    width: AppManager.windowWidth
    height: AppManager.windowHeight
    minimumWidth: AppManager.windowWidth
    minimumHeight: AppManager.windowHeight
    color: Theme.background
    visible: false

    // The close button puts the window into the tray when one is shown,
    // else minimises it; quitting is the tray's job.
    onClosing: function(close) {
        close.accepted = false
        AppManager.closeMainWindow()
    }

    Connections {
        target: AppManager
        function onRaiseRequested() {
            mainWindow.show()
            mainWindow.raise()
            mainWindow.requestActivate()
        }
        function onHideMainWindow() {
            mainWindow.hide()
        }
    }

    Text {
        anchors.centerIn: parent
        text: "Kelvra " + CoreController.appVersion()
        color: Theme.text
        font.pixelSize: 24
    }
}
