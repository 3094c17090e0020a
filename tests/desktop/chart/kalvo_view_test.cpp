// The live view driven through its messages, the scroll bar, clicks and the colour commands.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QScrollBar>
#include <QThread>
#include <QToolTip>
#include <QWheelEvent>

#include <array>
#include <atomic>
#include <memory>
#include <thread>

#include "core/common/colour.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/chart/live_view_host.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/colour_dialog.h"

namespace kalvo {
namespace {

constexpr int64_t kT0 = 1700000000;  // 15.11.2023 01:13:20 at UTC+3

class FakeHost : public LiveViewHost {
  public:
    void PostToFrame(uint32_t m, uintptr_t w, intptr_t l) override {
        posts.push_back({m, uint32_t(w), uint32_t(l)});
    }
    int GetAutoScrollSuspended() const override { return flag; }
    void SetAutoScrollSuspended(int value) override { flag = value; }

    std::vector<std::array<uint32_t, 3>> posts;  // message, wParam, lParam
    int flag = 0;
};

SampleList Batch(int64_t time, std::initializer_list<double> temperatures, uint32_t valid = 1) {
    SampleList batch;
    uint64_t rom = 0x28;
    for (double t : temperatures) {
        SampleRecord r;
        r.rom = rom += 0x100;
        r.name = u"T" + ToU16(int64_t(batch.size()));
        r.time = time;
        r.temperature = t;
        r.colour = batch.empty() ? 0xFF11AA33 : 0xFF3344CC;
        r.valid = valid;
        batch.push_back(r);
    }
    return batch;
}

void Pump() {
    QCoreApplication::sendPostedEvents();
}

// One button press and its release as the window system delivers them; buttons are all the
// buttons held.
void Press(QWidget* widget, QPoint at, Qt::MouseButton button = Qt::LeftButton,
           Qt::KeyboardModifiers modifiers = Qt::NoModifier, Qt::MouseButtons buttons = {}) {
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(at), QPointF(widget->mapToGlobal(at)),
                      button, buttons ? buttons : Qt::MouseButtons(button), modifiers);
    QApplication::sendEvent(widget, &event);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), QPointF(widget->mapToGlobal(at)),
                        button, (buttons ? buttons : Qt::MouseButtons(button)) & ~button,
                        modifiers);
    QApplication::sendEvent(widget, &release);
}

class LiveViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CKalvoView::ResetLiveRangeForTesting();
        view = std::make_unique<CKalvoView>(&host);
        view->resize(400, 300);
        view->show();
        Pump();
        PostAppEvent(view.get(), WM_APP_INIT_VIEW);
        Pump();
        view->SetEngineReady(1);
    }
    void TearDown() override {
        SetChartStarterForTesting(nullptr);
        SetMessageBoxHandler(nullptr);
        SetColourChooser(nullptr);
    }
    void Feed(const SampleList& batch) {
        view->ReplaceLiveSamples(batch);
        PostAppEvent(view.get(), WM_APP_SAMPLES);
        Pump();
    }
    // Paints the view as the screen would show it.
    QImage Paint() { return view->viewport()->grab().toImage(); }
    QPoint PointOf(int group_column, double temperature) {
        const ChartLayout& l = view->Chart().GetLayout();
        const int row =
            int((view->Chart().GetUpperLimit() - temperature) * l.pixels_per_degree) + l.plot.y;
        return {l.plot.x + 9 * group_column + 1, row + 1};
    }
    QScrollBar* Bar() { return view->horizontalScrollBar(); }
    // Waits for the tooltip to go away; true when it went.
    static bool TooltipGone() {
        QElapsedTimer waited;
        waited.start();
        while (QToolTip::isVisible() && waited.elapsed() < 3000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        return !QToolTip::isVisible();
    }
    // What resting the mouse at a point shows; empty when nothing is shown.
    std::u16string HoverText(QPoint at) {
        QToolTip::hideText();
        TooltipGone();
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text().toStdU16String() : std::u16string();
    }

    FakeHost host;
    std::unique_ptr<CKalvoView> view;
};

TEST_F(LiveViewTest, InitContinuesTheChainOrReportsAFailedStart) {
    EXPECT_EQ(CKalvoView::Instance(), view.get());
    EXPECT_TRUE(view->HasTooltip());
    EXPECT_EQ(host.posts, (decltype(host.posts){{WM_APP_INIT_NEXT, 0, 2}}));

    std::u16string caption, text;
    SetMessageBoxHandler([&](std::u16string_view c, std::u16string_view t, BoxKind) {
        caption = c;
        text = t;
        return BoxAnswer::kOk;
    });
    SetChartStarterForTesting([] { return false; });
    FakeHost other;
    CKalvoView failed(&other);
    failed.resize(300, 200);
    PostAppEvent(&failed, WM_APP_INIT_VIEW);
    Pump();
    EXPECT_EQ(caption, u"Error GDI+");
    EXPECT_EQ(text, u"Failed GDI+");
    EXPECT_TRUE(other.posts.empty());
    EXPECT_FALSE(failed.HasTooltip());
    EXPECT_FALSE(failed.viewport()->grab().isNull());  // paints, stays empty
}

TEST_F(LiveViewTest, ChartStartsAgainEmptyAtTheSampleLimit) {
    view->SetSeriesCount(4);
    for (int g = 0; g < 1799; ++g) view->PostLiveSamples(Batch(kT0 + g, {20, 21, 22, 23}));
    Pump();
    EXPECT_EQ(view->Chart().GetCount(), 7196);
    Feed(Batch(kT0 + 1799, {20, 21, 22, 23}));
    EXPECT_EQ(view->Chart().GetCount(), 7200);  // 7196 is not more than 7200 - 4
    Feed(Batch(kT0 + 1800, {20, 21, 22, 23}));
    EXPECT_EQ(view->Chart().GetCount(), 4);
    EXPECT_EQ(view->Chart().GetSamples().front().time, kT0 + 1800);
}

TEST_F(LiveViewTest, FollowsTheNewestTimeUntilTheUserScrolls) {
    view->SetSeriesCount(1);
    for (int g = 0; g < 10; ++g) Feed(Batch(kT0 + g, {20}));
    Feed({});                                      // an empty batch changes nothing
    EXPECT_EQ(view->Chart().GetUpperLimit(), 25);  // rebuilt from the first batch
    EXPECT_EQ(view->Chart().GetLowerLimit(), 15);
    EXPECT_EQ(view->ScrollExtentX(), 1);  // 90 px of data fit: no scrolling
    EXPECT_EQ(Bar()->maximum(), 0);

    for (int g = 10; g < 100; ++g) Feed(Batch(kT0 + g, {20}));
    const int width = view->viewport()->width();
    EXPECT_EQ(view->ScrollExtentX(), 35 + 900 + 9);
    EXPECT_EQ(Bar()->value(), 944 - width);  // the last position
    EXPECT_EQ(Bar()->pageStep(), 94);        // extent / 10
    EXPECT_EQ(host.flag, 0);                 // following is not the user scrolling
    // The newest point stands at the right edge.
    const QImage image = Paint();
    const int first = view->Chart().GetScrollX() / 9;
    const QPoint newest = PointOf(99 - first, 20);
    EXPECT_LT(newest.x(), width);
    EXPECT_GT(newest.x(), width - 20);
    EXPECT_EQ(0xFF000000u | image.pixel(newest), 0xFF11AA33u);

    // The user scrolls: the frame's flag goes to 1 and the view stays where it was left.
    Bar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(host.flag, 1);
    const int left_at = Bar()->value();
    for (int g = 100; g < 140; ++g) Feed(Batch(kT0 + g, {20}));
    EXPECT_EQ(Bar()->value(), left_at);
    EXPECT_EQ(view->ScrollExtentX(), 944);  // the extent is not updated while suspended
    EXPECT_EQ(view->Chart().GetCount(), 140);
    EXPECT_EQ(view->Chart().GetMarkedSample().time, kT0 + 100);

    // The wheel scrolls along time and counts as the user scrolling too.
    host.flag = 0;
    QWheelEvent wheel(QPointF(50, 50), QPointF(view->viewport()->mapToGlobal(QPoint(50, 50))),
                      QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
    QApplication::sendEvent(view->viewport(), &wheel);
    EXPECT_EQ(host.flag, 1);
    EXPECT_LT(Bar()->value(), left_at);

    // Resumed: the next batch brings the view to the newest time again.
    host.flag = 0;
    Feed(Batch(kT0 + 140, {20}));
    EXPECT_EQ(view->ScrollExtentX(), 35 + 141 * 9 + 9);
    EXPECT_EQ(Bar()->value(), Bar()->maximum());

    // A resize keeps following the newest time.
    view->resize(600, 300);
    Pump();
    EXPECT_EQ(view->ScrollExtentX(), 35 + 141 * 9 + 9);
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
    EXPECT_EQ(host.flag, 0);
}

TEST_F(LiveViewTest, ScrollBarShowsWhereTheViewIs) {
    view->SetSeriesCount(1);
    for (int g = 0; g < 100; ++g) Feed(Batch(kT0 + g, {20}));
    QCoreApplication::processEvents();  // the bar has appeared and the viewport shrunk
    // Following: the thumb at the newest end, and the chart drawn from there.
    ASSERT_GT(Bar()->maximum(), 0);
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
    Paint();
    EXPECT_EQ(view->Chart().GetScrollX(), view->ChartScrollX());
    // The first step left is one step from the newest end.
    const int end = Bar()->value();
    Bar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(host.flag, 1);
    EXPECT_EQ(Bar()->value(), end - Bar()->singleStep());
    // Scrolled away, a resize keeps the user's place.
    const int left_at = Bar()->value() - 100;
    Bar()->setValue(left_at);
    view->resize(380, 320);
    QCoreApplication::processEvents();
    EXPECT_EQ(Bar()->value(), left_at);
    // Following again, a resize stays at the newest end.
    host.flag = 0;
    Feed(Batch(kT0 + 100, {20}));
    view->resize(420, 280);
    QCoreApplication::processEvents();
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
}

TEST_F(LiveViewTest, PlainLeftClickOnAPointSetsTheTooltip) {
    view->SetSeriesCount(2);
    SampleList batch = Batch(kT0, {21.25, 23.5});
    batch[0].name = u"Улица\nсевер\nдом";
    batch[1].valid = 2;
    Feed(batch);
    Paint();
    const QPoint a = PointOf(0, 21.25), b = PointOf(0, 23.5);

    Press(view->viewport(), a);
    const std::u16string text_a = u"Улицасевер\nдом t= 21,25\nвремя - 15.11.2023 01:13:20";
    EXPECT_EQ(view->TooltipText(), text_a);
    // Shown at once, and not left on the viewport for hovering over empty space later.
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text().toStdU16String(), text_a);
    EXPECT_TRUE(view->viewport()->toolTip().isEmpty());

    // Ctrl, Shift or another button held: nothing changes.
    Press(view->viewport(), b, Qt::LeftButton, Qt::ControlModifier);
    Press(view->viewport(), b, Qt::LeftButton, Qt::ShiftModifier);
    Press(view->viewport(), b, Qt::RightButton);
    Press(view->viewport(), b, Qt::LeftButton, {}, Qt::LeftButton | Qt::RightButton);
    EXPECT_EQ(view->TooltipText(), text_a);
    // A plain click beside every point takes the old reading away.
    Press(view->viewport(), b + QPoint(0, 30));
    EXPECT_EQ(view->TooltipText(), u"");
    EXPECT_TRUE(TooltipGone());
    Press(view->viewport(), a);
    Press(view->viewport(), QPoint(5, 5));  // outside the plot
    EXPECT_EQ(view->TooltipText(), u"");

    Press(view->viewport(), b);
    EXPECT_EQ(view->TooltipText(),
              u"T1 t= 23,50\nвремя - 15.11.2023 01:13:20"
              u"\nИзмерение недостоверное");
    // Resting the mouse: on empty space nothing, on a point that point's reading.
    EXPECT_EQ(HoverText(b + QPoint(0, 30)), u"");
    EXPECT_EQ(HoverText(a), text_a);
}

TEST_F(LiveViewTest, ClickAtAnyScrollOffsetFindsTheGroupDrawnUnderIt) {
    view->SetSeriesCount(1);
    for (int g = 0; g < 100; ++g) Feed(Batch(kT0 + 2 * g, {20}));  // one colour, one row
    for (int offset : {277, 280, 281, 9 * 31}) {
        Bar()->setValue(offset);
        Paint();
        const int first = view->Chart().GetScrollX() / 9;
        // The right-hand column of the square in the third column of the view.
        Press(view->viewport(), PointOf(2, 20) + QPoint(2, 0));
        EXPECT_EQ(view->TooltipText(),
                  u"T0 t= 20,00\nвремя - " + FormatTimeC(kT0 + 2 * (first + 2)))
            << "offset " << offset;
    }
}

TEST_F(LiveViewTest, EachBatchIsTakenOnceAndWhole) {
    view->SetSeriesCount(2);
    view->ReplaceLiveSamples(Batch(kT0, {20, 21}));
    PostAppEvent(view.get(), WM_APP_SAMPLES);
    PostAppEvent(view.get(), WM_APP_SAMPLES);  // the second message finds nothing new
    view->PostLiveSamples(Batch(kT0 + 2, {22, 23}));
    Pump();
    EXPECT_EQ(view->Chart().GetCount(), 4);

    // A measurement thread replacing batches while this thread takes them: batches may be
    // superseded, but none is added twice or torn.
    std::atomic<bool> done{false};
    std::thread worker([&] {
        CKalvoView* live = CKalvoView::Instance();
        for (int g = 0; g < 300; ++g) {
            live->ReplaceLiveSamples(Batch(kT0 + 10 + g, {20, 21}));
            PostAppEvent(live, WM_APP_SAMPLES);
            if (g % 3 == 0) std::this_thread::yield();
        }
        done = true;
    });
    while (!done) Pump();
    worker.join();
    Pump();
    const SampleList& samples = view->Chart().GetSamples();
    ASSERT_EQ(samples.size() % 2, 0u);
    for (size_t i = 2; i < samples.size(); i += 2) {
        EXPECT_EQ(samples[i].time, samples[i + 1].time);
        EXPECT_GT(samples[i].time, samples[i - 1].time);
    }
}

TEST_F(LiveViewTest, ColourCommandsShareOneSetOfCustomColours) {
    std::vector<uint32_t> initials;
    CustomColours seen{};
    std::optional<uint32_t> answer = Rgb(0x10, 0x20, 0x30);
    SetColourChooser([&](QWidget*, uint32_t initial, CustomColours& custom) {
        initials.push_back(initial);
        seen = custom;
        custom[0] = Rgb(1, 2, 3);  // the user keeps a colour
        return answer;
    });
    EXPECT_TRUE(view->OnCommand(kCmdColourBackground));
    EXPECT_EQ(view->Chart().BackgroundArgb(), 0xFF102030u);
    seen[0] = 0;
    answer.reset();  // Cancel
    const uint32_t grid = view->GetGridColor();
    EXPECT_TRUE(view->OnCommand(kCmdColourGrid));
    EXPECT_EQ(view->GetGridColor(), grid);
    EXPECT_EQ(seen[0], Rgb(1, 2, 3));  // kept by the first dialog, offered by the second
    EXPECT_EQ(initials, (std::vector<uint32_t>{0, 0}));  // both start from black
    EXPECT_FALSE(view->OnCommand(32858));
}

TEST(AppEvents, SystemIdsStayClearOfQtsOwnEventTypes) {
    EXPECT_EQ(int(AppEvent(WM_APP_INIT_NEXT).type()), 0x800D);
    AppEvent close(WM_CLOSE_REQUEST, 1, 0);  // 0x10 is QEvent::Destroy
    EXPECT_GE(int(close.type()), int(QEvent::User));
    EXPECT_EQ(close.Message(), uint32_t(WM_CLOSE_REQUEST));
}

}  // namespace
}  // namespace kalvo
