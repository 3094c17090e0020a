#pragma once
// The small explanatory drawing under the switch table: how a heater or a cooler channel
// follows its two thresholds. A temperature curve swings between the lower (Тн) and the upper
// (Тв) threshold, and a bar below marks when the output is on.
#include <QWidget>

#include <vector>

namespace kalvo {

class ChannelDiagram : public QWidget {
  public:
    enum class Kind { kHeater, kCooler };

    explicit ChannelDiagram(Kind kind, QWidget* parent = nullptr);

    Kind GetKind() const { return kind_; }
    QSize sizeHint() const override { return QSize(220, 110); }
    QSize minimumSizeHint() const override { return QSize(200, 100); }

    // The drawn curve at x (0..1 along the time axis): 0 at the lower threshold, 1 at the upper.
    static double Level(Kind kind, double x);
    // Whether the output is on at x.
    static bool IsOn(Kind kind, double x);
    // The spans of the time axis where the output is on.
    struct Span {
        double from;
        double to;
    };
    static std::vector<Span> OnSpans(Kind kind);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Kind kind_;
};

}  // namespace kalvo
