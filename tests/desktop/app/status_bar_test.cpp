// The status bar: panes, texts and marks from any thread, the progress bar over its pane.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>

#include <thread>

#include "desktop/widgets/status_bar_widget.h"

namespace kalvo {
namespace {

using Bar = CMPSBarWithProgressAndBMP;

void Pump() {
    QCoreApplication::sendPostedEvents();
}

class StatusBarTest : public ::testing::Test {
  protected:
    StatusBarTest() {
        bar.resize(800, 30);
        bar.show();
        Pump();
    }
    Bar bar;
};

TEST_F(StatusBarTest, FivePanesWithTheirWidthsAndTheMainPaneText) {
    EXPECT_EQ(bar.Pane(0)->text(), QStringLiteral("Состояние"));
    EXPECT_EQ(bar.PaneText(0), u"Состояние");
    for (int i = 1; i < Bar::kPaneCount; ++i)
        EXPECT_EQ(bar.Pane(i)->width(), Bar::kPaneWidths[size_t(i)]) << i;
    // The main pane takes what the others leave.
    EXPECT_GT(bar.Pane(0)->width(), 800 - 200 - 120 - 30 - 30 - 60);
    EXPECT_EQ(bar.Pane(5), nullptr);

    bar.SetPaneText(2, u"Found DS2413");
    EXPECT_EQ(bar.Pane(2)->text(), QStringLiteral("Found DS2413"));
    bar.SetPaneText(-1, u"x");  // unknown panes are ignored
    bar.SetPaneText(5, u"x");
    EXPECT_EQ(bar.PaneText(5), u"");
}

TEST_F(StatusBarTest, CallsFromAnotherThreadShowOnTheWindowThread) {
    std::thread worker([this] {
        bar.SetPaneText(0, u"Devices search 1Wire completed successfully");
        bar.CreateProgress(1, 0, 16, 1);
        for (int i = 0; i < 5; ++i) bar.StepProgress();
        bar.SetPaneMark(3, StatusBar::kMarkRed);
    });
    worker.join();
    // The state is there at once; the widgets follow when the window thread runs.
    EXPECT_EQ(bar.ProgressPos(), 5);
    EXPECT_EQ(bar.PaneMark(3), StatusBar::kMarkRed);
    Pump();
    EXPECT_EQ(bar.Pane(0)->text(), QStringLiteral("Devices search 1Wire completed successfully"));
    ASSERT_NE(bar.Progress(), nullptr);
    EXPECT_EQ(bar.Progress()->value(), 5);
    EXPECT_EQ(bar.Progress()->maximum(), 16);
    ASSERT_NE(bar.MarkLabel(3), nullptr);
}

TEST_F(StatusBarTest, ProgressLiesOverItsPaneAndStartsOverPastTheEnd) {
    EXPECT_EQ(bar.Progress(), nullptr);
    bar.SetProgressPos(3);  // no bar: nothing moves
    bar.StepProgress();
    EXPECT_EQ(bar.ProgressPos(), 0);

    bar.CreateProgress(1, 0, 5, 1);
    Pump();
    QProgressBar* progress = bar.Progress();
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->parentWidget(), bar.Pane(1));
    EXPECT_EQ(progress->geometry(), bar.Pane(1)->rect());
    for (int i = 0; i < 5; ++i) bar.StepProgress();
    EXPECT_EQ(bar.ProgressPos(), 5);
    bar.StepProgress();
    EXPECT_EQ(bar.ProgressPos(), 1);  // wrapped to the start
    EXPECT_EQ(progress->value(), 1);

    bar.RemoveProgress();
    EXPECT_FALSE(bar.HasProgress());
    EXPECT_EQ(bar.Progress(), nullptr);
    // A new bar begins at its lower bound.
    bar.CreateProgress(1, 2, 9, 3);
    EXPECT_EQ(bar.ProgressPos(), 2);
    EXPECT_EQ(bar.Progress()->minimum(), 2);
}

TEST_F(StatusBarTest, CycleMarksAreRedAndGreenSquaresInTheirPanes) {
    bar.SetPaneMark(3, StatusBar::kMarkRed);
    bar.SetPaneMark(4, StatusBar::kMarkNone);
    QLabel* red = bar.MarkLabel(3);
    ASSERT_NE(red, nullptr);
    EXPECT_EQ(bar.MarkLabel(4), nullptr);
    EXPECT_EQ(red->parentWidget(), bar.Pane(3));
    const QImage red_image = red->pixmap().toImage();
    EXPECT_EQ(red_image.size(), QSize(23, 23));
    EXPECT_EQ(red_image.pixel(0, 0) | 0xFF000000u, 0xFFFF0000u);
    EXPECT_EQ(red_image.pixel(22, 22) | 0xFF000000u, 0xFFFF0000u);
    // Inside the 30-pixel pane.
    EXPECT_TRUE(bar.Pane(3)->rect().contains(red->geometry()));

    bar.SetPaneMark(4, StatusBar::kMarkGreen);
    bar.SetPaneMark(3, StatusBar::kMarkNone);
    EXPECT_EQ(bar.MarkLabel(3), nullptr);
    ASSERT_NE(bar.MarkLabel(4), nullptr);
    EXPECT_EQ(bar.MarkLabel(4)->pixmap().toImage().pixel(11, 11) | 0xFF000000u, 0xFF00FF00u);
    bar.SetPaneMark(9, StatusBar::kMarkRed);  // no such pane
    EXPECT_EQ(bar.PaneMark(9), StatusBar::kMarkNone);
}

}  // namespace
}  // namespace kalvo
