import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// The narrow column of destinations on the left; help sits at its foot.
Rectangle {
    id: rail
    property var pages: []        // [{ key, title, icon, bottom?, under? }]
    property string current: ""
    property var badges: ({})     // key → a count shown over the icon
    signal chosen(string key)

    // A page off the rail (under: its parent) marks its parent.
    readonly property string marked: {
        const page = pages.find(p => p.key === current)
        return page && page.under ? page.under : current
    }

    implicitWidth: 84
    color: Theme.rail

    component Destination: B.AbstractButton {
        id: item
        required property var modelData
        readonly property bool selected: rail.marked === modelData.key
        readonly property int count: rail.badges[modelData.key] || 0
        objectName: "nav_" + modelData.key
        width: 68
        height: 60
        focusPolicy: Qt.StrongFocus
        Accessible.role: Accessible.PageTab
        Accessible.name: count > 0 ? qsTr("%1, %n unread", "", count).arg(modelData.title) : modelData.title
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
                Rectangle {
                    objectName: "badge_" + item.modelData.key
                    visible: item.count > 0
                    x: parent.width - 6
                    y: -6
                    height: 16
                    width: Math.max(16, badgeText.implicitWidth + 8)
                    radius: 8
                    color: Theme.error
                    Label {
                        id: badgeText
                        objectName: "badgeCount"
                        anchors.centerIn: parent
                        text: item.count > 99 ? "99+" : item.count
                        font.pixelSize: 10
                        font.weight: Font.DemiBold
                        color: Theme.textOnAccent
                    }
                }
            }
            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                text: item.modelData.title
                font.pixelSize: 11
                color: item.selected ? Theme.text : Theme.textMuted
            }
        }
    }

    Column {
        anchors.top: parent.top
        anchors.topMargin: Theme.unit * 2
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: Theme.unit

        Repeater {
            model: rail.pages.filter(p => !p.bottom && !p.under)
            delegate: Destination {}
        }
    }

    Column {
        anchors.bottom: parent.bottom
        anchors.bottomMargin: Theme.unit * 2
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: Theme.unit

        Repeater {
            model: rail.pages.filter(p => p.bottom && !p.under)
            delegate: Destination {}
        }
    }
}
