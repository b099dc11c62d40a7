import QtQuick
import QtQuick.Layouts
import "../singletons"

// The update offer's text, which becomes "Downloading update… N%" with a bar.
ColumnLayout {
    id: block
    property string title
    property string detail: ""
    property bool downloading: false
    property int progress: 0
    spacing: Theme.unit / 2

    Label {
        objectName: "updateTitle"
        text: block.downloading ? qsTr("Downloading update… ") + block.progress + "%" : block.title
        font.weight: Font.Medium
        Accessible.name: text
        Layout.fillWidth: true
    }
    Label {
        visible: block.detail !== "" && !block.downloading
        text: block.detail
        muted: true
        wrapMode: Text.Wrap
        font.pixelSize: Theme.fontSmall
        Layout.fillWidth: true
    }
    Rectangle {
        objectName: "updateProgressBar"
        visible: block.downloading
        Layout.fillWidth: true
        implicitHeight: 4
        radius: 2
        color: Theme.surfaceRaised
        Accessible.role: Accessible.ProgressBar
        Accessible.name: qsTr("Download progress")
        Rectangle {
            width: parent.width * Math.max(0, Math.min(100, block.progress)) / 100
            height: parent.height
            radius: 2
            color: Theme.working
            Behavior on width { NumberAnimation { duration: Theme.fadeMs } }
        }
    }
}
