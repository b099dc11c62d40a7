import QtQuick
import QtQuick.Layouts
import Kelvra.Setup 1.0
import "qrc:/ui/qml/singletons"
import "qrc:/ui/qml/components"

// The three install phases around a progress ring.
ScreenFrame {
    objectName: "installingScreen"
    title: Setup.updateMode ? qsTr("Updating Kelvra") : qsTr("Installing Kelvra")
    text: qsTr("This takes a minute. You can keep working.")

    readonly property var phases: [qsTr("Checking the package"), qsTr("Installing Kelvra"), qsTr("Starting the service")]
    readonly property real overall: Math.min(1, (Math.min(Setup.phase, 3) + Setup.phaseProgress) / 3)

    RowLayout {
        Layout.fillWidth: true
        Layout.fillHeight: true
        spacing: Theme.unit * 5

        Item {
            objectName: "progressRing"
            Layout.preferredWidth: 150
            Layout.preferredHeight: 150
            Accessible.role: Accessible.ProgressBar
            Accessible.name: qsTr("Install progress")
            Arc {
                anchors.fill: parent
                color: Theme.surfaceRaised
                lineWidth: 10
                sweep: 360
            }
            Arc {
                anchors.fill: parent
                color: Theme.working
                lineWidth: 10
                sweep: Math.max(1, 360 * overall)
            }
            Label {
                anchors.centerIn: parent
                text: Math.round(overall * 100) + "%"
                font.pixelSize: Theme.fontDisplay
                font.weight: Font.DemiBold
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: Theme.unit * 2
            Repeater {
                model: phases
                delegate: RowLayout {
                    required property string modelData
                    required property int index
                    objectName: "phaseRow"
                    spacing: Theme.unit * 1.5
                    readonly property bool finished: Setup.phase > index
                    readonly property bool current: Setup.phase === index
                    Item {
                        implicitWidth: 22
                        implicitHeight: 22
                        Icon {
                            anchors.centerIn: parent
                            visible: parent.parent.finished
                            icon: "check"
                            size: 20
                            color: Theme.protectedColor
                        }
                        Spinner {
                            anchors.centerIn: parent
                            visible: parent.parent.current
                            size: 20
                        }
                        Rectangle {
                            anchors.centerIn: parent
                            visible: !parent.parent.finished && !parent.parent.current
                            width: 10
                            height: 10
                            radius: 5
                            color: Theme.border
                        }
                    }
                    Label {
                        text: modelData
                        muted: !current && !finished
                        font.weight: current ? Font.Medium : Font.Normal
                    }
                }
            }
        }
    }
}
