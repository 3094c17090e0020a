// Cost of one full-HD frame of a short chart and of a full day: a frame should cost the same
// whatever the length of the day, since only the visible time groups are drawn.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdlib>

#include "desktop/chart/chart.h"
#include "desktop/chart/chart_layout.h"

namespace kalvo {
namespace {

constexpr int kSeries = 10;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void FillChart(CChart& chart, int groups) {
    SampleList batch(kSeries);
    const int64_t start = 1700000000;
    for (int g = 0; g < groups; ++g) {
        for (int s = 0; s < kSeries; ++s) {
            SampleRecord& r = batch[size_t(s)];
            r.rom = 0x28 + (uint64_t(s + 1) << 8);
            r.time = start + 2 * int64_t(g);
            r.temperature = 20.0 + 2 * s + 3.0 * std::sin(g / 500.0 + s);
            r.colour = 0xFF000000u | (0x1F3A5Bu * uint32_t(s + 1) & 0xFFFFFF);
            r.valid = (g % 997 == 0) ? 2 : 1;
        }
        chart.Append(batch);
    }
    chart.SetSeriesCount(kSeries);
    const TemperatureRange range = DayRange(chart.GetSamples());
    chart.SetRange(range.upper, range.lower);
}

void BM_Frame(benchmark::State& state) {
    const int groups = int(state.range(0));
    CChart chart;
    chart.Init();
    FillChart(chart, groups);
    // Stand where the live view stands: the newest time at the right edge.
    const int end = CChart::GetLeftMargin() + int(chart.GetDataWidth()) + 9;
    chart.SetScrollX(std::max(0, end - kWidth));
    QImage target(kWidth, kHeight, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&target);
        chart.Draw(p, QRect(0, 0, kWidth, kHeight));
        p.end();
        benchmark::DoNotOptimize(target.constBits());
    }
    state.counters["groups"] = groups;
}
BENCHMARK(BM_Frame)->Arg(0)->Arg(100)->Arg(43200)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
