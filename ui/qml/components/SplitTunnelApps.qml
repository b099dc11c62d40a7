import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as B
import "../singletons"

// The applications of this computer, each with a tick that lets it skip the
// tunnel. The scan runs once, when the list is first shown.
ColumnLayout {
    id: picker
    property var controller
    property int revision: 0
    signal changed()

    property var apps: []
    property bool scanned: false
    readonly property var chosen: revision >= 0 && controller ? controller.splitTunnelApps() : []
    readonly property string filter: search.text.trim().toLowerCase()
    spacing: Theme.unit

    Component.onCompleted: Qt.callLater(() => {
        apps = controller ? controller.installedApps() : []
        scanned = true
    })

    RowLayout {
        Layout.fillWidth: true
        SectionTitle { text: qsTr("Applications"); Layout.fillWidth: true }
        Label {
            objectName: "chosenAppsCount"
            text: qsTr("%1 of %2 chosen").arg(picker.chosen.length).arg(50)
            muted: true
            font.pixelSize: Theme.fontSmall
        }
    }
    TextEntry {
        id: search
        objectName: "appSearch"
        Layout.fillWidth: true
        placeholderText: qsTr("Search applications")
    }
    Card {
        Layout.fillWidth: true
        padding: Theme.unit
        ColumnLayout {
            width: parent.width
            spacing: 2
            Spinner { visible: !picker.scanned; Layout.alignment: Qt.AlignHCenter }
            Label {
                visible: picker.scanned && picker.apps.length === 0
                text: qsTr("No applications found on this computer.")
                muted: true
                Layout.margins: Theme.unit
            }
            Repeater {
                model: picker.apps.filter(app => picker.filter === "" || app.name.toLowerCase().indexOf(picker.filter) >= 0)
                delegate: B.AbstractButton {
                    id: appRow
                    required property var modelData
                    readonly property bool skips: picker.chosen.indexOf(modelData.path) >= 0
                    objectName: "app_" + modelData.name.replace(/\s+/g, "")
                    Layout.fillWidth: true
                    implicitHeight: 52
                    focusPolicy: Qt.StrongFocus
                    Accessible.role: Accessible.CheckBox
                    Accessible.name: modelData.name
                    Accessible.checked: skips
                    Keys.onReturnPressed: clicked()
                    Keys.onEnterPressed: clicked()
                    onClicked: {
                        picker.controller.setSplitTunnelApp(modelData.path, !skips)
                        picker.changed()
                    }
                    background: Rectangle {
                        radius: Theme.radiusSmall
                        color: appRow.hovered ? Theme.surfaceHover : "transparent"
                        border.width: appRow.visualFocus ? 2 : 0
                        border.color: Theme.text
                    }
                    contentItem: RowLayout {
                        spacing: Theme.unit * 1.5
                        // The tick.
                        Rectangle {
                            Layout.leftMargin: Theme.unit
                            width: 20; height: 20; radius: 5
                            color: appRow.skips ? Theme.accent : "transparent"
                            border.color: appRow.skips ? Theme.accent : Theme.border
                            border.width: 2
                            Icon { anchors.centerIn: parent; visible: appRow.skips; icon: "check"; size: 14; color: Theme.textOnAccent }
                        }
                        AppIcon { source: appRow.modelData.icon || "" }
                        ColumnLayout {
                            spacing: 0
                            Layout.fillWidth: true
                            Label { text: appRow.modelData.name; Layout.fillWidth: true }
                            Label {
                                text: appRow.modelData.path
                                muted: true
                                font.pixelSize: Theme.fontSmall
                                elide: Text.ElideMiddle
                                Layout.fillWidth: true
                            }
                        }
                    }
                }
            }
        }
    }
}
