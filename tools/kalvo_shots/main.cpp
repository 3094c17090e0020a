// kalvo-shots [folder]: renders the scenario page (and the device page) offscreen to PNG files,
// filled as during a run, for the documentation. Default folder: docs/images of the sources.
#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "scenario/dlg_sn.h"
#include "ui/frame_link.h"

namespace kalvo {
namespace {

class QuietFrame : public FrameLink {
  public:
    void PostToFrame(uint32_t, uintptr_t, intptr_t) override {}
    void StartCommand() override {}
    void HideToTray() override {}
    QRect MainWindowRect() const override { return {}; }
    void MoveMainWindow(const QRect&) override {}
};

bool Save(QWidget& page, const std::string& path) {
    page.show();
    QApplication::processEvents();
    const bool ok = page.grab().save(QString::fromStdString(path), "PNG");
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "cannot write", path.c_str());
    return ok;
}

// Three scenarios typed as a user would, the first one caught in its second step.
bool ShootScenarioPage(const std::string& folder) {
    QuietFrame frame;
    CDlgSn page(&frame);
    page.resize(1000, 520);
    GridSn& grid = page.Grid();
    int64_t now = 1'700'000'000;
    grid.SetTimeSource([&now] { return now; });
    auto type = [&grid](int row, int col, std::u16string text) {
        grid.UserSetText(row, col, text);
    };
    const int step = GridSn::kColFirstStep;
    type(0, 1, u"Сушка");
    type(0, GridSn::kColCycles, u"3");
    type(0, GridSn::kColDelay, u"0:10:0");
    type(0, step, u"0:30:0; 20/24");
    type(0, step + 1, u"1:15:0; 35/40");
    type(0, step + 2, u"0:45:0; 28/30");
    type(1, 1, u"Ночь");
    type(1, GridSn::kColCycles, u"1");
    type(1, step, u"8:0:0; 16/18");
    type(2, 1, u"Прогрев");
    type(2, GridSn::kColCycles, u"2");
    type(2, GridSn::kColDelay, u"0:5:0");
    type(2, step, u"0:20:0; 25/30");
    type(2, step + 1, u"0:40:0; 30/35");
    grid.RestartAll();
    now += 10 * 60 + 30 * 60 + 20 * 60;  // delay, step 1 and 20 minutes into step 2
    for (int row = 0; row < 3; ++row) grid.FindActiveStep(row);
    return Save(page, folder + "/scenario_page.png");
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : std::string(KALVO_SOURCE_DIR) + "/docs/images";
    bool ok = kalvo::ShootScenarioPage(folder);
    return ok ? 0 : 1;
}
