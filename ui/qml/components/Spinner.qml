import QtQuick
import QtQuick.Shapes
import "../singletons"

// A small turning arc for "loading" in place of content.
Item {
    id: root
    property int size: 28
    property color color: Theme.working
    implicitWidth: size
    implicitHeight: size
    Shape {
        id: shape
        anchors.fill: parent
        layer.enabled: true
        layer.samples: 4
        ShapePath {
            strokeColor: root.color
            strokeWidth: 3
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            PathAngleArc {
                centerX: root.size / 2; centerY: root.size / 2
                radiusX: root.size / 2 - 2; radiusY: root.size / 2 - 2
                startAngle: 0; sweepAngle: 270
            }
        }
        RotationAnimator on rotation {
            from: 0; to: 360; duration: 900
            loops: Animation.Infinite
            running: root.visible
        }
    }
}
