import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// One row of the locations list: a location, or one of its servers.
B.AbstractButton {
    id: row
    property string flag: ""
    property string title: ""
    property string detail: ""
    property var ping: undefined
    property bool recent: false
    property bool starVisible: false
    property bool starred: false
    property bool current: false
    property bool expandable: false
    property bool expanded: false
    property bool compact: false
    signal starToggled()

    implicitHeight: compact ? 44 : 56
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: title + (detail !== "" ? ", " + detail : "") + (current ? ", " + qsTr("current") : "")
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: Theme.radiusSmall
        color: row.current ? Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.14)
             : row.hovered ? Theme.surfaceHover : "transparent"
        border.width: row.visualFocus ? 2 : 0
        border.color: Theme.text
    }

    contentItem: RowLayout {
        spacing: Theme.unit * 1.5
        Item { implicitWidth: Theme.unit / 2 }
        Flag {
            visible: !row.compact
            source: row.flag
            fallbackText: row.title
        }
        Icon {
            visible: row.compact
            icon: "map-pin"
            size: 16
            color: Theme.textMuted
        }
        ColumnLayout {
            spacing: 0
            Layout.fillWidth: true
            Label {
                text: row.title
                font.weight: row.compact ? Font.Normal : Font.Medium
                Layout.fillWidth: true
            }
            Label {
                visible: text !== ""
                text: row.detail
                muted: true
                font.pixelSize: Theme.fontSmall
                Layout.fillWidth: true
            }
        }
        Icon {
            visible: row.recent
            icon: "clock"
            size: 14
            color: Theme.textMuted
            B.ToolTip.visible: recentHover.hovered
            B.ToolTip.text: qsTr("Recently used")
            HoverHandler { id: recentHover }
        }
        Icon {
            visible: row.current
            icon: "check"
            size: 18
            color: Theme.accent
        }
        PingLabel {
            ping: row.ping
            Layout.preferredWidth: 64
            horizontalAlignment: Text.AlignRight
        }
        IconButton {
            visible: row.starVisible
            objectName: "favoriteButton"
            iconName: row.starred ? "star-filled" : "star"
            name: row.starred ? qsTr("Remove from favourites") : qsTr("Add to favourites")
            color: row.starred ? Theme.unprotectedColor : Theme.textMuted
            onClicked: row.starToggled()
        }
        Icon {
            visible: row.expandable
            icon: row.expanded ? "chevron-down" : "chevron-right"
            color: Theme.textMuted
        }
        Item { implicitWidth: Theme.unit / 2 }
    }
}
