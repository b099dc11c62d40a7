import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// Installed: open the app, by the button or after a short countdown.
ScreenFrame {
    id: screen
    objectName: "doneScreen"
    property int countdown: 5
    title: Setup.updateMode ? qsTr("Kelvra is up to date") : qsTr("Kelvra is ready")
    iconName: "check"
    iconColor: Theme.protectedColor
    text: qsTr("Kelvra %1 is installed. It opens by itself in %2 s.").arg(Setup.installedVersion || Setup.payloadVersion).arg(countdown)

    Timer {
        interval: 1000
        repeat: true
        running: Setup.demo === "" && screen.countdown > 0
        onTriggered: {
            screen.countdown -= 1
            if (screen.countdown === 0)
                Setup.openApp()
        }
    }
    Item { Layout.fillHeight: true }

    buttons: [
        KButton {
            objectName: "openAppButton"
            text: qsTr("Open Kelvra")
            focus: true
            onClicked: Setup.openApp()
        }
    ]
}
