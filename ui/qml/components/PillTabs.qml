import QtQuick
import QtQuick.Controls.Basic as B
import "../singletons"

// A row of rounded tabs; tabs is a list of { key, title }.
Row {
    id: tabs
    property var model: []
    property string current: ""
    signal chosen(string key)
    spacing: Theme.unit

    Repeater {
        model: tabs.model
        delegate: B.AbstractButton {
            id: tab
            required property var modelData
            readonly property bool selected: tabs.current === modelData.key
            objectName: "tab_" + modelData.key.replace(/\s+/g, "")
            implicitHeight: 34
            implicitWidth: tabLabel.implicitWidth + Theme.unit * 4
            focusPolicy: Qt.StrongFocus
            Accessible.role: Accessible.PageTab
            Accessible.name: modelData.title
            Accessible.selected: selected
            Keys.onReturnPressed: clicked()
            Keys.onEnterPressed: clicked()
            onClicked: tabs.chosen(modelData.key)
            background: Rectangle {
                radius: height / 2
                color: tab.selected ? Theme.accent : tab.hovered ? Theme.surfaceHover : Theme.surfaceRaised
                border.width: tab.visualFocus ? 2 : 0
                border.color: Theme.text
            }
            contentItem: Label {
                id: tabLabel
                text: tab.modelData.title
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                font.pixelSize: Theme.fontSmall + 1
                font.weight: Font.Medium
                color: tab.selected ? Theme.textOnAccent : Theme.text
            }
        }
    }
}
