import QtQuick

// A circle or part of one, drawn once into an image: cheaper at start-up and
// in memory than a shape with its own shaders, and it turns for free.
Canvas {
    id: arc
    property color color: "white"
    property real lineWidth: 6
    property real sweep: 360      // degrees, clockwise from twelve o'clock
    renderTarget: Canvas.Image
    renderStrategy: Canvas.Immediate
    onColorChanged: requestPaint()
    onSweepChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    onPaint: {
        const ctx = getContext("2d")
        ctx.reset()
        const radius = Math.min(width, height) / 2 - lineWidth / 2
        ctx.strokeStyle = color
        ctx.lineWidth = lineWidth
        ctx.lineCap = "round"
        ctx.beginPath()
        const start = -Math.PI / 2
        ctx.arc(width / 2, height / 2, radius, start, start + sweep * Math.PI / 180, false)
        ctx.stroke()
    }
}
