// The status bar's panes with texts longer than they are wide.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include "desktop/widgets/status_bar_widget.h"

namespace kalvo {
namespace {

// A text the main pane cannot hold ends in "…" and is whole in the pane's tooltip; the label
// keeps the whole text.
TEST(StatusBarWidget, LongTextsEndInAnEllipsisWithTheWholeTextAsTooltip) {
    CMPSBarWithProgressAndBMP bar;
    bar.resize(800, 30);
    bar.show();
    QCoreApplication::sendPostedEvents();
    QLabel* pane = bar.Pane(0);
    const std::u16string text =
        u"Thermometers have not been found, the application can not be used; "
        u"the switches stay off until a thermometer is on the bus";
    bar.SetPaneText(0, text);
    const QString whole = QString::fromStdU16String(text);
    ASSERT_GT(pane->fontMetrics().horizontalAdvance(whole), pane->contentsRect().width());
    EXPECT_EQ(pane->text(), whole);
    EXPECT_EQ(pane->toolTip(), whole);
    EXPECT_FALSE(pane->grab().isNull());  // paints the cut text

    // Wide enough again: no tooltip.
    bar.resize(pane->fontMetrics().horizontalAdvance(whole) + 600, 30);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(pane->toolTip(), QString());
    bar.resize(800, 30);
    bar.SetPaneText(0, u"Состояние");
    EXPECT_EQ(pane->toolTip(), QString());
}

}  // namespace
}  // namespace kalvo
