// The archive tree over a small archive beside one stored day, as the main window shows them.
#include <QApplication>
#include <QLabel>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/archive/day_archive.h"
#include "core/common/status_bar.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/archive/view_file.h"
#include "desktop/widgets/qt_text.h"
#include "shots.h"

namespace kalvo {
namespace {

int64_t LocalSeconds(int year, int month, int day, int hour) {
    std::tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour;
    t.tm_isdst = -1;
    return int64_t(std::mktime(&t));
}

struct Thermometer {
    uint64_t rom;
    std::u16string name;
    uint32_t colour;  // ARGB
};

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

// One pass a minute from 05:00 of the day, filed by the program's own writer under that date.
int64_t g_now = 0;
void WriteMorning(const std::string& root, int year, int month, int day, int passes) {
    const int64_t start = LocalSeconds(year, month, day, 5);
    SampleList records;
    for (int p = 0; p < passes; ++p) {
        for (size_t i = 0; i < kHouse.size(); ++i) {
            SampleRecord& r = records.emplace_back();
            r.rom = kHouse[i].rom, r.name = kHouse[i].name, r.colour = kHouse[i].colour;
            r.valid = 1, r.time = start + int64_t(p) * 60, r.temperature = Morning(i, p);
        }
    }
    g_now = start;
    SetNowSecondsSource([] { return g_now; });
    WriteDayFile(records, root, uint32_t(kHouse.size()));
    SetNowSecondsSource(nullptr);
}

}  // namespace

int ShootArchive(const std::string& folder) {
    // The tree's month names and the day's times as a user in the test time zone sees them.
    setenv("TZ", "MSK-3", 1);
    tzset();
    QTemporaryDir temp;
    const std::string root = temp.path().toStdString() + "/appdata";
    for (int day : {5, 6, 7}) WriteMorning(root, 2010, 3, day, 180);
    WriteMorning(root, 2010, 2, 27, 30);
    WriteMorning(root, 2009, 12, 31, 30);

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
        std::fputs("the stored day did not open\n", stderr);
        return 1;
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    status_line->setText(ToQString(status.LastText(0)));
    QCoreApplication::processEvents();
    const std::string path = folder + "/archive_view.png";
    const bool ok = window.grab().save(QString::fromStdString(path));
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "cannot write", path.c_str());
    return ok ? 0 : 1;
}

}  // namespace kalvo
