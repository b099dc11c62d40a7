import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// The narrow column of destinations on the left.
Rectangle {
    id: rail
    property var pages: []        // [{ key, title, icon }]
    property string current: ""
    signal chosen(string key)

    implicitWidth: 84
    color: Theme.rail

    Column {
        anchors.top: parent.top
        anchors.topMargin: Theme.unit * 2
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: Theme.unit

        Repeater {
            model: rail.pages
            delegate: B.AbstractButton {
                id: item
                required property var modelData
                readonly property bool selected: rail.current === modelData.key
                objectName: "nav_" + modelData.key
                width: 68
                height: 60
                focusPolicy: Qt.StrongFocus
                Accessible.role: Accessible.PageTab
                Accessible.name: modelData.title
                Accessible.selected: selected
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                onClicked: rail.chosen(modelData.key)

                background: Rectangle {
                    radius: Theme.radius
                    color: item.selected ? Theme.surfaceRaised : item.hovered ? Theme.surfaceHover : "transparent"
                    border.width: item.visualFocus ? 2 : 0
                    border.color: Theme.text
                    Rectangle {
                        visible: item.selected
                        width: 3; height: 24; radius: 2
                        color: Theme.accent
                        anchors.left: parent.left
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
                contentItem: Column {
                    spacing: 4
                    topPadding: 8
                    Icon {
                        anchors.horizontalCenter: parent.horizontalCenter
                        icon: item.modelData.icon
                        color: item.selected ? Theme.accent : Theme.textMuted
                    }
                    Label {
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: item.modelData.title
                        font.pixelSize: 11
                        color: item.selected ? Theme.text : Theme.textMuted
                    }
                }
            }
        }
    }
}
