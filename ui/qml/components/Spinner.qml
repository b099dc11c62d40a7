import QtQuick
import "../singletons"

// A small turning arc for "loading" in place of content.
Arc {
    id: root
    property int size: 28
    implicitWidth: size
    implicitHeight: size
    lineWidth: 3
    sweep: 270
    color: Theme.working
    RotationAnimator on rotation {
        from: 0; to: 360; duration: 900
        loops: Animation.Infinite
        running: root.visible
    }
}
