#include "desktop/app/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

#include "desktop/app/commands.h"

namespace kalvo {
namespace {

using Painting = std::function<void(QPainter&)>;

// Paints on a 32 x 32 design grid, scaled to the size asked for.
QImage Paint(int size, const Painting& paint) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    paint(p);
    return image;
}

QIcon IconOf(const Painting& paint, std::initializer_list<int> sizes) {
    QIcon icon;
    for (int size : sizes) icon.addPixmap(QPixmap::fromImage(Paint(size, paint)));
    return icon;
}

const QColor kInk(40, 48, 64);

void Window(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(QColor(250, 250, 250));
    p.drawRoundedRect(QRectF(3, 5, 26, 22), 2, 2);
    p.fillRect(QRectF(3.75, 5.75, 24.5, 4), QColor(90, 120, 170));
}

void ToggleTree(QPainter& p) {
    Window(p);
    p.fillRect(QRectF(4, 10, 9, 16.25), QColor(220, 232, 248));
    p.setPen(QPen(kInk, 1.2));
    p.drawLine(QPointF(13, 10), QPointF(13, 26.5));
    // A small folder tree in the left pane.
    p.drawLine(QPointF(6, 13), QPointF(6, 22));
    for (double y : {14.0, 18.0, 22.0}) p.drawLine(QPointF(6, y), QPointF(9, y));
    p.setBrush(QColor(240, 190, 70));
    p.setPen(Qt::NoPen);
    for (double y : {12.5, 16.5, 20.5}) p.drawRect(QRectF(9, y, 3, 3));
}

void Stop(QPainter& p) {
    p.setPen(QPen(QColor(120, 0, 0), 1.5));
    p.setBrush(QColor(215, 40, 40));
    p.drawRoundedRect(QRectF(7, 7, 18, 18), 2.5, 2.5);
}

void Start(QPainter& p) {
    QPainterPath play;
    play.moveTo(9, 5);
    play.lineTo(27, 16);
    play.lineTo(9, 27);
    play.closeSubpath();
    p.setPen(QPen(QColor(0, 100, 0), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(40, 170, 60));
    p.drawPath(play);
}

void Curve(QPainter& p, const QColor& colour) {
    QPainterPath curve;
    curve.moveTo(5, 20);
    curve.cubicTo(10, 8, 14, 24, 19, 14);
    curve.cubicTo(21, 10, 23, 12, 24, 13);
    p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(curve);
}

void ColourBackground(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(QColor(30, 40, 70));
    p.drawRect(QRectF(3, 4, 26, 20));
    Curve(p, QColor(250, 220, 60));
    // Colour swatches under the picture.
    const QColor swatches[] = {QColor(220, 50, 50), QColor(60, 170, 70), QColor(50, 90, 210)};
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(swatches[i]);
        p.drawRect(QRectF(4 + i * 9, 25.5, 7, 4.5));
    }
}

void ColourGrid(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 4, 26, 20));
    p.setPen(QPen(QColor(60, 130, 220), 1.2, Qt::DashLine));
    for (double x : {9.5, 16.0, 22.5}) p.drawLine(QPointF(x, 4.5), QPointF(x, 23.5));
    for (double y : {9.0, 14.0, 19.0}) p.drawLine(QPointF(3.5, y), QPointF(28.5, y));
    const QColor swatches[] = {QColor(220, 50, 50), QColor(60, 170, 70), QColor(50, 90, 210)};
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(swatches[i]);
        p.drawRect(QRectF(4 + i * 9, 25.5, 7, 4.5));
    }
}

void Chart(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2, 5, 28, 22));
    Curve(p, QColor(200, 40, 40));
}

// Following the newest time: the curve runs into a right edge marked by an arrow.
void AutoScrollOff(QPainter& p) {
    Chart(p);
    p.setPen(QPen(QColor(30, 120, 40), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(18, 23), QPointF(27, 23));
    p.drawLine(QPointF(24, 20), QPointF(27, 23));
    p.drawLine(QPointF(24, 26), QPointF(27, 23));
}

// Following is suspended: a pause sign over the curve.
void AutoScrollOn(QPainter& p) {
    Chart(p);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 130, 20));
    p.drawRect(QRectF(20, 17, 3, 8));
    p.drawRect(QRectF(25, 17, 3, 8));
}

void Export(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 3, 20, 24));
    p.fillRect(QRectF(3.75, 3.75, 18.5, 4.5), QColor(50, 140, 80));
    p.setPen(QPen(QColor(120, 150, 130), 1));
    for (double y : {12.0, 16.0, 20.0, 24.0}) p.drawLine(QPointF(4, y), QPointF(22, y));
    for (double x : {9.0, 15.0}) p.drawLine(QPointF(x, 8.5), QPointF(x, 26.5));
    // Out of the table.
    p.setPen(QPen(QColor(30, 90, 200), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(16, 21), QPointF(29, 21));
    p.drawLine(QPointF(25, 17), QPointF(29, 21));
    p.drawLine(QPointF(25, 25), QPointF(29, 21));
}

void About(QPainter& p) {
    p.setPen(QPen(QColor(20, 60, 140), 1.5));
    p.setBrush(QColor(60, 120, 210));
    p.drawEllipse(QRectF(4, 4, 24, 24));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(14.2, 8.5, 3.6, 3.6));
    p.drawRoundedRect(QRectF(14.3, 13.5, 3.4, 10.5), 1, 1);
}

void Thermometer(QPainter& p) {
    // The bus line it hangs on.
    p.setPen(QPen(QColor(70, 80, 100), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(2, 27), QPointF(30, 27));
    p.drawLine(QPointF(22, 27), QPointF(22, 22));
    // Glass.
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(10, 2, 7, 20), 3.5, 3.5);
    p.drawEllipse(QRectF(7.5, 17, 12, 12));
    // Mercury.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(215, 40, 40));
    p.drawRect(QRectF(12, 9, 3, 12));
    p.drawEllipse(QRectF(9.5, 19, 8, 8));
    // Scale.
    p.setPen(QPen(kInk, 1));
    for (double y : {6.0, 10.0, 14.0}) p.drawLine(QPointF(17, y), QPointF(20, y));
}

void Scenario(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2, 4, 28, 24));
    p.setPen(QPen(QColor(200, 90, 20), 2.5, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    QPainterPath steps;
    steps.moveTo(4, 24);
    steps.lineTo(10, 24);
    steps.lineTo(14, 12);
    steps.lineTo(22, 12);
    steps.lineTo(24, 20);
    steps.lineTo(28, 20);
    p.setBrush(Qt::NoBrush);
    p.drawPath(steps);
}

void StoredDay(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(QColor(250, 246, 230));
    p.drawRect(QRectF(4, 3, 24, 26));
    p.fillRect(QRectF(4.75, 3.75, 22.5, 6), QColor(190, 60, 60));
    Curve(p, QColor(40, 90, 200));
}

Painting CommandPainting(int command) {
    switch (command) {
        case kCmdToggleTree:
            return ToggleTree;
        case kCmdStop:
            return Stop;
        case kCmdStart:
            return Start;
        case kCmdColourBackground:
            return ColourBackground;
        case kCmdColourGrid:
            return ColourGrid;
        case kCmdAutoScrollOff:
            return AutoScrollOff;
        case kCmdAutoScrollOn:
            return AutoScrollOn;
        case kCmdExport:
            return Export;
        case kCmdAbout:
            return About;
        default:
            return {};
    }
}

}  // namespace

QIcon CommandIcon(int command) {
    const Painting paint = CommandPainting(command);
    return paint ? IconOf(paint, {32}) : QIcon();
}

QIcon TabIcon(PageIcon page) {
    switch (page) {
        case PageIcon::kDevice:
            return IconOf(Thermometer, {16, 32});
        case PageIcon::kScenario:
            return IconOf(Scenario, {16, 32});
        case PageIcon::kLive:
            return IconOf(Chart, {16, 32});
        case PageIcon::kStoredDay:
            return IconOf(StoredDay, {16, 32});
    }
    return {};
}

QIcon ProgramIcon() {
    return IconOf(Thermometer, {16, 22, 32, 48, 64, 128});
}

QImage ProgramImage(int size) {
    return Paint(size, Thermometer);
}

}  // namespace kalvo
