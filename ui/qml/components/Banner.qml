import QtQuick
import QtQuick.Layouts
import "../singletons"

// A strip above the page for a note the user may dismiss.
Rectangle {
    id: banner
    property string text
    property string iconName: "info"
    property color tint: Theme.working
    property bool dismissible: true
    property string actionText: ""
    signal dismissed()
    signal action()

    implicitHeight: row.implicitHeight + Theme.unit * 2
    radius: Theme.radiusSmall
    color: Qt.rgba(tint.r, tint.g, tint.b, Theme.dark ? 0.16 : 0.12)
    border.color: Qt.rgba(tint.r, tint.g, tint.b, 0.45)
    Accessible.role: Accessible.StaticText
    Accessible.name: text

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: Theme.unit * 1.5
        anchors.rightMargin: Theme.unit
        spacing: Theme.unit
        Icon { icon: banner.iconName; color: banner.tint; size: 18 }
        Label {
            objectName: "bannerText"
            text: banner.text
            wrapMode: Text.Wrap
            font.pixelSize: Theme.fontSmall
            Layout.fillWidth: true
        }
        KButton {
            visible: banner.actionText !== ""
            kind: "ghost"
            text: banner.actionText
            implicitHeight: 30
            onClicked: banner.action()
        }
        IconButton {
            objectName: "dismissButton"
            visible: banner.dismissible
            iconName: "x"
            name: qsTr("Dismiss")
            size: 28
            onClicked: banner.dismissed()
        }
    }
}
