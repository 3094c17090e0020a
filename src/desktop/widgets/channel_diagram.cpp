#include "desktop/widgets/channel_diagram.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

namespace kalvo {
namespace {

constexpr double kCycle = 0.4;        // of the time axis: two and a half swings are shown
constexpr double kOnShare = 0.4;      // of a swing the output is on
constexpr double kStartPhase = 0.55;  // the drawing starts in the middle of the off part
constexpr int kSamples = 400;

const QColor kOnColour(255, 160, 122);  // as the tables show a channel that is on
const QColor kTrack(225, 225, 225);
const QColor kThreshold(110, 110, 110);

double Phase(double x) {
    const double p = std::fmod(x / kCycle + kStartPhase, 1.0);
    return p < 0 ? p + 1 : p;
}

// Half a cosine swing from 0 to 1 as s goes from 0 to 1.
double Rise(double s) {
    return (1 - std::cos(std::numbers::pi * s)) / 2;
}

}  // namespace

ChannelDiagram::ChannelDiagram(Kind kind, QWidget* parent) : QWidget(parent), kind_(kind) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setObjectName(kind == Kind::kHeater ? QStringLiteral("HeaterDiagram")
                                        : QStringLiteral("CoolerDiagram"));
}

bool ChannelDiagram::IsOn(Kind, double x) {
    return Phase(x) < kOnShare;
}

double ChannelDiagram::Level(Kind kind, double x) {
    const double p = Phase(x);
    // A heater drives the temperature up while on; a cooler drives it down.
    const bool on = p < kOnShare;
    const double s = on ? p / kOnShare : (p - kOnShare) / (1 - kOnShare);
    const bool rising = (kind == Kind::kHeater) == on;
    return rising ? Rise(s) : 1 - Rise(s);
}

std::vector<ChannelDiagram::Span> ChannelDiagram::OnSpans(Kind kind) {
    std::vector<Span> spans;
    bool on = false;
    for (int i = 0; i <= kSamples; ++i) {
        const double x = double(i) / kSamples;
        const bool now = IsOn(kind, x);
        if (now && !on) spans.push_back({x, 1.0});
        if (!now && on) spans.back().to = x;
        on = now;
    }
    return spans;
}

void ChannelDiagram::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    p.fillRect(frame, Qt::white);
    p.setPen(QColor(160, 160, 160));
    p.drawRect(frame);

    QFont small = font();
    small.setPointSizeF(font().pointSizeF() * 0.85);
    QFont title = small;
    title.setBold(true);
    const int line = QFontMetrics(small).height();

    p.setFont(title);
    p.setPen(Qt::black);
    p.drawText(
        QRect(6, 2, width() - 12, line + 2), Qt::AlignLeft | Qt::AlignVCenter,
        kind_ == Kind::kHeater ? QStringLiteral("Нагреватель") : QStringLiteral("Охладитель"));

    p.setFont(small);
    const int label_width = QFontMetrics(small).horizontalAdvance(QStringLiteral("Вкл")) + 10;
    const int bar_height = std::max(6, line / 2);
    const QRect plot(label_width, line + 8, width() - label_width - 8,
                     height() - line - 8 - bar_height - 14);
    const int y_upper = plot.top() + plot.height() / 6;
    const int y_lower = plot.bottom() - plot.height() / 6;
    auto y_of = [&](double level) { return y_lower - level * (y_lower - y_upper); };
    auto x_of = [&](double x) { return plot.left() + x * plot.width(); };

    // Thresholds.
    QPen dashed(kThreshold, 1, Qt::DashLine);
    p.setPen(dashed);
    p.drawLine(QPointF(plot.left(), y_upper), QPointF(plot.right(), y_upper));
    p.drawLine(QPointF(plot.left(), y_lower), QPointF(plot.right(), y_lower));
    p.setPen(Qt::black);
    p.drawText(QRect(2, y_upper - line / 2, label_width - 4, line), Qt::AlignRight,
               QStringLiteral("Тв"));
    p.drawText(QRect(2, int(y_lower) - line / 2, label_width - 4, line), Qt::AlignRight,
               QStringLiteral("Тн"));

    // The output bar and the switching instants.
    const QRectF bar(plot.left(), plot.bottom() + 8, plot.width(), bar_height);
    p.fillRect(bar, kTrack);
    QPen dotted(kThreshold, 1, Qt::DotLine);
    for (const Span& s : OnSpans(kind_)) {
        const QRectF on(x_of(s.from), bar.top(), x_of(s.to) - x_of(s.from), bar.height());
        p.fillRect(on, kOnColour);
        p.setPen(dotted);
        for (double x : {s.from, s.to})
            if (x > 0 && x < 1)
                p.drawLine(QPointF(x_of(x), y_of(Level(kind_, x))), QPointF(x_of(x), bar.top()));
    }
    p.setPen(QColor(160, 160, 160));
    p.drawRect(bar);
    p.setPen(Qt::black);
    p.drawText(QRectF(2, bar.top() - 4, label_width - 6, bar.height() + 8),
               Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Вкл"));

    // The temperature.
    QPainterPath curve;
    for (int i = 0; i <= kSamples; ++i) {
        const double x = double(i) / kSamples;
        const QPointF point(x_of(x), y_of(Level(kind_, x)));
        if (i == 0)
            curve.moveTo(point);
        else
            curve.lineTo(point);
    }
    p.setPen(QPen(kind_ == Kind::kHeater ? QColor(200, 40, 30) : QColor(30, 90, 200), 2));
    p.drawPath(curve);
}

}  // namespace kalvo
