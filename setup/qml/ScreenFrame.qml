import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// The common layout of a screen: the mark, a title, a line of text, the
// screen's own content and its buttons at the bottom right.
ColumnLayout {
    id: frame
    property string title
    property string text
    property string iconName: ""
    property color iconColor: Theme.working
    default property alias content: body.data
    property alias buttons: buttonRow.data
    spacing: Theme.unit * 2

    RowLayout {
        spacing: Theme.unit * 1.5
        Image {
            source: "qrc:/ui/icons/icon.svg"
            sourceSize: Qt.size(36, 36)
            Layout.preferredWidth: 36
            Layout.preferredHeight: 36
        }
        Label {
            text: "Kelvra"
            font.pixelSize: Theme.fontTitle
            font.weight: Font.DemiBold
        }
        Item { Layout.fillWidth: true }
        Label {
            text: "Setup " + Setup.payloadVersion
            muted: true
            font.pixelSize: Theme.fontSmall
        }
    }
    Item { Layout.preferredHeight: Theme.unit * 2 }
    RowLayout {
        spacing: Theme.unit * 1.5
        Icon {
            visible: frame.iconName !== ""
            icon: frame.iconName
            color: frame.iconColor
            size: 28
        }
        Label {
            objectName: "screenTitle"
            text: frame.title
            font.pixelSize: Theme.fontDisplay
            font.weight: Font.DemiBold
            Layout.fillWidth: true
            elide: Text.ElideRight
        }
    }
    Label {
        objectName: "screenText"
        visible: frame.text !== ""
        text: frame.text
        muted: true
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    ColumnLayout {
        id: body
        Layout.fillWidth: true
        Layout.fillHeight: true
        spacing: Theme.unit * 2
    }
    RowLayout {
        id: buttonRow
        Layout.alignment: Qt.AlignRight
        spacing: Theme.unit
    }
}
