import QtQuick
import "../singletons"

// Minimise and close, for a window drawn without the system's frame.
Row {
    property var window
    spacing: Theme.unit / 2
    IconButton {
        objectName: "minimiseButton"
        iconName: "minus"
        name: qsTr("Minimise")
        onClicked: window.showMinimized()
    }
    IconButton {
        objectName: "closeButton"
        iconName: "x"
        name: qsTr("Close")
        onClicked: window.close()
    }
}
