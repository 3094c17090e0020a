// The whole window over the driver beside the program (the demo folder holds the simulated one):
// the device page and the scenario page soon after start-up, the live view after a minute.
#include <QAction>
#include <QCursor>
#include <QDir>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <string>

#include "desktop/app/commands.h"
#include "desktop/app/desktop_main.h"
#include "desktop/app/main_frame.h"
#include "shots.h"

namespace kalvo {
namespace {

void Save(CMainFrame& frame, int tab, const QString& path) {
    frame.Tabs()->setCurrentIndex(tab);
    frame.statusBar()->clearMessage();  // no button prompt in the picture
    frame.repaint();
    if (!frame.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

}  // namespace

int ShootWindow(int argc, char** argv, const std::string& folder_path) {
    const QString folder = QString::fromStdString(folder_path);
    // A first run each time: no stored settings, and no day file left beside the program.
    const QTemporaryDir data;
    const std::string archive = data.isValid() ? data.path().toStdString() + "/appdata" : "";
    return RunDesktop(
        argc, argv,
        [folder](CMainFrame& frame) {
            QDir().mkpath(folder);
            QCursor::setPos(4000, 4000);  // away from the buttons
            QTimer::singleShot(4000, &frame, [&frame] {
                if (QAction* start = frame.Action(kCmdStart); start && start->isVisible())
                    frame.OnCommand(kCmdStart);
            });
            QTimer::singleShot(12000, &frame, [&frame, folder] {
                Save(frame, 0, folder + QStringLiteral("/window_device.png"));
                Save(frame, 1, folder + QStringLiteral("/window_scenario.png"));
                frame.Tabs()->setCurrentIndex(2);
            });
            QTimer::singleShot(70000, &frame, [&frame, folder] {
                Save(frame, 2, folder + QStringLiteral("/window_live.png"));
                frame.OnClose(0);
            });
        },
        archive);
}

}  // namespace kalvo
