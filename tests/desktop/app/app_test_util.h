#pragma once
// The main window under test: a temporary program folder, a fake notification area, message
// boxes answered and remembered.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/common/message_box.h"
#include "core/common/paths.h"
#include "desktop/app/tray_icon.h"

namespace kalvo::testing_app {

namespace fs = std::filesystem;

// Runs the event loop until `done` holds or the time is up; true when it holds.
inline bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

inline void Pump() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

class FakeTray : public TrayIcon {
  public:
    bool Add(const QIcon& icon, const QString& tip) override {
        ++adds;
        this->tip = tip;
        has_icon = !icon.isNull();
        shown = accept;
        return accept;
    }
    void Remove() override {
        ++removes;
        shown = false;
    }
    int RunMenu(const std::vector<TrayMenuItem>& items) override {
        menus.push_back(items);
        return choice ? choice(items) : 0;
    }
    // The icon as the desktop reports it.
    void Send(intptr_t mouse_message) { PostEvent(mouse_message); }

    bool accept = true;
    bool shown = false;
    bool has_icon = false;
    int adds = 0, removes = 0;
    QString tip;
    std::vector<std::vector<TrayMenuItem>> menus;
    std::function<int(const std::vector<TrayMenuItem>&)> choice;
};

struct Box {
    std::u16string caption, text;
};

// A program folder of its own for each test, removed afterwards; boxes are remembered.
class TempProgramFolder {
  public:
    TempProgramFolder() {
        static int counter = 0;
        path = fs::temp_directory_path() /
               ("kalvo_app_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
        fs::create_directories(path);
        SetProgramFolderForTesting(path.string());
        SetMessageBoxHandler([this](std::u16string_view c, std::u16string_view t, BoxKind) {
            boxes.push_back({std::u16string(c), std::u16string(t)});
            return BoxAnswer::kOk;
        });
    }
    ~TempProgramFolder() {
        SetMessageBoxHandler(nullptr);
        SetProgramFolderForTesting("");
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    fs::path path;
    std::vector<Box> boxes;
};

}  // namespace kalvo::testing_app
