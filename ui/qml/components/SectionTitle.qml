import QtQuick
import "../singletons"

// The heading over a group of settings.
Label {
    font.pixelSize: Theme.fontBody + 2
    font.weight: Font.DemiBold
    topPadding: Theme.unit
}
