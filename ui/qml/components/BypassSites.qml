import QtQuick
import QtQuick.Layouts
import "../singletons"

// The bypass list editor: type a site, add it, see and remove the list.
ColumnLayout {
    id: editor
    property var controller
    property int revision: 0
    signal changed()

    property string message: ""
    readonly property var sites: revision >= 0 && controller ? controller.bypassSites() : []
    readonly property int limit: controller && controller.bypassSiteLimit ? controller.bypassSiteLimit() : 100
    spacing: Theme.unit

    function add() {
        message = controller.addBypassSite(field.text)
        if (message === "") {
            field.text = ""
            changed()
        }
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: Theme.unit
        TextEntry {
            id: field
            objectName: "bypassField"
            Layout.fillWidth: true
            placeholderText: qsTr("A site, like bank.com")
            invalid: editor.message !== ""
            onTextChanged: editor.message = ""
            onAccepted: editor.add()
        }
        KButton {
            objectName: "addBypassButton"
            iconName: "plus"
            text: qsTr("Add")
            enabled: field.text.trim() !== ""
            onClicked: editor.add()
        }
    }
    Label {
        objectName: "bypassMessage"
        visible: text !== ""
        text: editor.message
        color: Theme.error
        font.pixelSize: Theme.fontSmall
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    Card {
        Layout.fillWidth: true
        padding: Theme.unit
        ColumnLayout {
            width: parent.width
            spacing: 2
            Label {
                visible: editor.sites.length === 0
                text: qsTr("No sites yet. Sites you add here open outside the VPN while the switch above is on.")
                muted: true
                wrapMode: Text.Wrap
                Layout.fillWidth: true
                Layout.margins: Theme.unit
            }
            Repeater {
                model: editor.sites
                delegate: RemovableRow {
                    required property string modelData
                    objectName: "site_" + modelData
                    Layout.fillWidth: true
                    iconName: "globe"
                    text: modelData
                    onRemove: {
                        editor.controller.removeBypassSite(modelData)
                        editor.changed()
                    }
                }
            }
        }
    }
    Label {
        objectName: "bypassCount"
        text: qsTr("%1 of %2 sites").arg(editor.sites.length).arg(editor.limit)
        muted: true
        font.pixelSize: Theme.fontSmall
    }
}
