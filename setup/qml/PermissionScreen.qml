import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// Shown while the system's own permission prompt is open.
ScreenFrame {
    objectName: "permissionScreen"
    property string systemName
    title: qsTr("One permission")
    iconName: "shield-check"
    text: qsTr("%1 will ask whether Kelvra Setup may make changes. Say yes to add the background service that keeps your connection protected.").arg(systemName)

    RowLayout {
        spacing: Theme.unit * 1.5
        Spinner { size: 22 }
        Label { text: qsTr("Waiting for your OK…"); muted: true }
    }
    Item { Layout.fillHeight: true }
}
