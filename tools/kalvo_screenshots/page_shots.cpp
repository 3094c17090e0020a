// The device page and the scenario page on their own, filled as during a run.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/common/clock.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/engine/program.h"
#include "desktop/pages/desktop_host.h"
#include "desktop/pages/dlg_sn.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/frame_link.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"
#include "shots.h"

namespace kalvo {
namespace {

class QuietFrame : public FrameLink {
  public:
    void PostToFrame(uint32_t message, uintptr_t, intptr_t) override {
        if (message == WM_APP_ENGINE_READY) ready = true;
        if (message == WM_CLOSE_REQUEST) failed = true;
    }
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};
    void HideMainWindow() override {}
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
    GridSn grid;
    CDlgSn page(grid, &frame);
    page.resize(1000, 520);
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

// Runs the event loop until `done` or the time is up.
template <class Done>
bool Wait(Done done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The engine over the demo bus: named thermometers, a heater and a cooler channel, a few cycles.
bool ShootDevicePage(const std::string& folder) {
    ManualClock clock(1'700'000'000'000);
    const std::unique_ptr<sim::World> world = sim::MakeWorld(sim::DefaultBusConfig(), clock);
    sim::SetActiveWorld(world.get());
    QTemporaryDir archive;
    QuietFrame frame;
    RecordingStatusBar status;
    EngineOptions options;
    options.archive_root = archive.path().toStdString();
    options.ms_per_second = 10;
    options.bus_clock = &clock;
    bool ok = false;
    {
        // Declared in the order the frame makes them, so they end in the reverse one.
        Program program(sim::Api(), options);
        CViewDev page(program);
        DesktopHost host(program, frame, nullptr, &page);
        page.resize(1000, 640);
        page.show();
        PostAppEvent(&host, std::make_unique<AppEvent>(WM_APP_INIT_VIEW, 0, 0,
                                                       static_cast<StatusBar*>(&status)));
        if (!Wait([&] { return frame.ready || frame.failed; }, 20000) || frame.failed) {
            std::fprintf(stderr, "the engine did not start over the demo bus\n");
            sim::SetActiveWorld(nullptr);
            return false;
        }
        Engine& engine = program.GetEngine();
        GridKalvo& t = program.Thermometers();
        // The demo bus's sensors by serial number.
        const std::pair<const char16_t*, const char16_t*> names[] = {{u"a1b2c3d", u"Комната"},
                                                                     {u"a1b2c4e", u"Холодильник"},
                                                                     {u"a1b2c5f", u"Инкубатор"},
                                                                     {u"a1b2c60", u"Улица"},
                                                                     {u"b0b0b0", u"Подвал"}};
        for (int r = 0; r < t.RowCount(); ++r) {
            const std::u16string serial = t.CellText(r, GridKalvo::kColSerial);
            for (const auto& [id, name] : names)
                if (serial.find(id) != std::u16string::npos)
                    t.UserSetText(r, GridKalvo::kColName, name);
            if (serial.find(u"b0b0b0") != std::u16string::npos)
                t.UserSetNumber(r, GridKalvo::kColState, GridKalvo::kStateDisabled);
        }
        GridSw& s = program.Switches();
        if (s.RowCount() > 0) {
            auto set = [&s](int col, std::u16string text) { s.UserSetText(0, col, text); };
            set(GridSw::Col(0, GridSw::kColNameA), u"Обогреватель");
            set(GridSw::Col(0, GridSw::kColLowA), u"21,5");
            set(GridSw::Col(0, GridSw::kColHighA), u"23");
            set(GridSw::Col(0, GridSw::kColThermometerA), u"Комната");
            set(GridSw::Col(1, GridSw::kColNameA), u"Вентилятор");
            set(GridSw::Col(1, GridSw::kColLowA), u"36");
            set(GridSw::Col(1, GridSw::kColHighA), u"36,5");
            set(GridSw::Col(1, GridSw::kColThermometerA), u"Инкубатор");
            s.UserSetNumber(0, GridSw::Col(1, GridSw::kColTypeA), GridSw::kTypeCoolerIndex);
        }
        engine.StartMeasuring(true);
        Wait([&] { return status.Marks().size() >= 12; }, 20000);
        engine.StartMeasuring(false);
        Wait([] { return false; }, 100);
        ok = Save(page, folder + "/device_page.png");
    }
    sim::SetActiveWorld(nullptr);
    return ok;
}

}  // namespace

int ShootPages(const std::string& folder) {
    const bool scenario = ShootScenarioPage(folder);
    const bool device = ShootDevicePage(folder);
    return scenario && device ? 0 : 1;
}

}  // namespace kalvo
