// archive_ui_screenshot OUT.png: the archive tree over a small archive beside one stored day, as
// the main window shows them, rendered offscreen (the picture in docs/images).
#include <QApplication>
#include <QLabel>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "archive_fixture.h"
#include "core/common/status_bar.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/archive/view_file.h"
#include "desktop/widgets/qt_text.h"

namespace {

using namespace kalvo;
using namespace kalvo::fixture;

// Outdoors, a heated room, a hot-water tank and a cellar over a morning, one pass a minute.
double Morning(size_t thermometer, int minute) {
    const double t = minute / 60.0;  // hours after 05:00
    switch (thermometer) {
        case 0:
            return -3.2 + 1.1 * t + 0.3 * std::sin(minute * 0.7);
        case 1:
            return 19.4 + 2.4 * (1 - std::exp(-t)) + 0.25 * std::sin(minute * 0.35);
        case 2:
            return 48.0 + std::fmod(minute * 0.55, 11.0);  // heater cycles
        default:
            return 6.1 + 0.05 * std::sin(minute * 0.1);
    }
}

const std::vector<Thermometer> kHouse = {
    {0x6F00000123456728, u"Улица", 0xFF4FA3FF},
    {0x2A0008015E3B7710, u"Комната", 0xFF6BD36B},
    {0x0100000ABCDEF028, u"Бак", 0xFFFF5A4A},
    {0x5C000004D2C1B228, u"Подвал", 0xFFE8C547},
};

}  // namespace

int main(int argc, char** argv) {
    setenv("TZ", "MSK-3", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (argc != 2) {
        std::fputs("usage: archive_ui_screenshot OUT.png\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    const std::string root = dir + "/appdata";
    for (int day : {5, 6, 7}) {
        WriteDay(root, MakeDay(kHouse, LocalSeconds(2010, 3, day, 5), 180, 60, &Morning), 4);
    }
    WriteDay(root, MakeDay(kHouse, LocalSeconds(2010, 2, 27, 5), 30, 60, &Morning), 4);
    WriteDay(root, MakeDay(kHouse, LocalSeconds(2009, 12, 31, 5), 30, 60, &Morning), 4);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Kalvo USB"));
    window.resize(900, 440);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* splitter = new QSplitter(&window);
    layout->addWidget(splitter, 1);
    auto* status_line = new QLabel(&window);
    status_line->setContentsMargins(6, 3, 6, 3);
    status_line->setFrameShape(QFrame::StyledPanel);
    layout->addWidget(status_line);

    RecordingStatusBar status;
    auto* tree = new CTreeWnd(nullptr, root, splitter);
    auto* tabs = new QTabWidget(splitter);
    splitter->setSizes({190, 710});
    window.show();
    tree->FillTree();
    tree->expandItem(tree->topLevelItem(0));
    QTreeWidgetItem* march = tree->topLevelItem(0)->child(0);
    tree->expandItem(march);
    QTreeWidgetItem* day7 = march->child(0);
    tree->setCurrentItem(day7);
    QCoreApplication::processEvents();

    if (!OpenDayTab(tabs, *tree, tree->visualItemRect(day7).center(), &status)) {
        std::fputs("archive_ui_screenshot: the day did not open\n", stderr);
        return 1;
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    status_line->setText(ToQString(status.LastText(0)));
    QCoreApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "archive_ui_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
