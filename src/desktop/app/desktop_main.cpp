#include "desktop/app/desktop_main.h"

#include <QApplication>
#include <QPointer>
#include <QSessionManager>

#include <clocale>
#include <cstdio>
#include <mutex>

#include "core/common/folder_lock.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/pass_report.h"
#include "core/common/paths.h"
#include "core/common/text.h"
#include "core/connect/connections.h"
#include "core/device/d2xx_binding.h"
#include "core/device/output_guard.h"
#include "core/engine/program.h"
#include "desktop/app/icons.h"
#include "desktop/app/main_frame.h"
#include "desktop/app/message_boxes.h"
#include "desktop/app/platform_signals.h"
#include "desktop/pages/dlg_rules.h"
#include "desktop/pages/dlg_sn.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/qt_text.h"
#include "desktop/widgets/status_bar_widget.h"

#ifndef KALVO_VERSION
#define KALVO_VERSION "0"
#endif

namespace kalvo {
namespace {

// Lines from kalvo.ini and the publisher: stderr, and the main pane while a window shows them.
// Called from the publisher's thread too.
class OutsideStatus {
  public:
    void Set(StatusBar* bar) {
        std::lock_guard lock(mutex_);
        bar_ = bar;
    }
    void Say(const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
        std::lock_guard lock(mutex_);
        if (bar_) bar_->SetPaneText(kPaneMain, Utf8ToUtf16(line));
    }

  private:
    std::mutex mutex_;
    StatusBar* bar_ = nullptr;
};

// Alarms as passing notifications of the notification-area icon.
class AlarmNotices : public PassListener {
  public:
    explicit AlarmNotices(CMainFrame& frame) : frame_(&frame) {}
    void OnPass(const PassReport&) override {}
    void OnChannels(const std::vector<ChannelState>&) override {}
    void OnAlarm(const AlarmEvent& event) override {
        const bool raised = event.kind != AlarmKind::kOk;
        QString text = ToQString(event.name) + QStringLiteral(" (") +
                       QString::fromStdString(W1Id(event.rom)) + QStringLiteral("): ") +
                       QString::fromLatin1(AlarmKindText(raised ? event.kind : event.cleared));
        if (raised && event.value == event.value)
            text +=
                QStringLiteral(", ") + QString::number(event.value, 'f', 2) + QStringLiteral(" °C");
        if (!raised) text += QStringLiteral(", снята");
        const QPointer<CMainFrame> frame = frame_;
        // The frame goes on the window thread only, after this listener is off the worker's list.
        QMetaObject::invokeMethod(
            frame_,
            [frame, text] {
                if (frame) frame->ShowNotice(QStringLiteral("Kalvo: тревога"), text);
            },
            Qt::QueuedConnection);
    }

  private:
    CMainFrame* frame_;
};

}  // namespace

int RunDesktop(int argc, char** argv, const std::function<void(CMainFrame&)>& shown,
               const std::string& archive_root) {
    QApplication app(argc, argv);
    // Qt hands the user's locale to the C library; the core reads and writes its numbers in the
    // C locale and makes the decimal comma itself.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Kalvo USB"));
    QApplication::setApplicationVersion(QStringLiteral(KALVO_VERSION));
    QApplication::setWindowIcon(ProgramIcon());
    InstallMessageBoxes();

    CMainFrame* frame = nullptr;
    bool close_pending = false;
    // A signal that comes while a box is open must not wait for a person.
    const CloseSignals close_signals([&] {
        AnswerOpenMessageBoxes();
        if (frame)
            frame->OnClose(0);
        else
            close_pending = true;
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, [&](QSessionManager& manager) {
        // Measuring goes on unless the session cannot be held back; then it ends in order.
        if (manager.allowsInteraction()) {
            manager.cancel();
            manager.release();
        } else if (frame) {
            frame->OnEndSession(false);
        }
    });

    // One program at a time on the data folder, taken before the archive is prepared: the
    // preparation repairs today's file, which another program may be appending to.
    const std::string root = archive_root.empty() ? ArchiveRoot() : archive_root;
    FolderLock folder_lock;
    const FolderLock::Outcome locked = folder_lock.Take(root, "kalvo");
    if (locked == FolderLock::Outcome::kHeld) {
        ShowMessageBox(u"Error", FolderInUseText(root, folder_lock.Holder()));
        SetMessageBoxHandler({});
        return 1;
    }
    if (locked == FolderLock::Outcome::kUnavailable) {
        std::fprintf(stderr, "The data folder is not locked against a second program: %s\n",
                     folder_lock.Why().c_str());
        std::fflush(stderr);
    }

    // Switches the outputs off should this process end other than through its close protocol.
    // Declared before the program, so on any other way out of here the bridge is let go first.
    OutputGuard guard;
    // The program outlives the window; the engine records into the archive prepared here (an
    // empty root records nothing).
    EngineOptions engine;
    engine.archive_root = PrepareProgramArchive(root);
    const std::string data_folder = engine.archive_root;
    Program program(DriverApi(), std::move(engine));
    // The scenario file last loaded or saved, so scenarios that ran go on after a restart.
    if (!data_folder.empty()) {
        const ScenarioFileResult reloaded = program.ReloadLastScenarioFile();
        if (!reloaded.ok && !program.LastScenarioFile().empty()) {
            std::fprintf(
                stderr, "%s: %s %s\n", Utf16ToUtf8(kScenarioLoadFailedText).c_str(),
                program.LastScenarioFile().c_str(),
                Utf16ToUtf8(reloaded.status.empty() ? kScenarioOpenFailedText : reloaded.status)
                    .c_str());
            std::fflush(stderr);
        }
    }
    // Rules and publishing from kalvo.ini, in force from the first pass; declared after the
    // program so it ends first, once the window's close has written the last pass.
    OutsideStatus outside_status;
    Connections connections(program, data_folder, [&outside_status](const std::string& line) {
        outside_status.Say(line);
    });
    if (!data_folder.empty()) connections.Start(program.GetEngine().Period());

    // Once the bridge is open and its serial number known.
    const auto start_guard = [&guard, &program](CMainFrame& ready) {
        if (guard.Armed()) return;
        std::string why;
        if (StartOutputGuard(guard, program.Bus().OpenSerial(), &why)) return;
        const std::u16string text = u"Output guard not started: " + Utf8ToUtf16(why);
        std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
        std::fflush(stderr);
        ready.StatusBarWidget()->SetPaneText(kPaneMain, text);
    };

    int code = 0;
    bool closed_in_order = false;
    {
        CMainFrame main_frame(program);
        main_frame.SetEngineReadyHandler(start_guard);
        frame = &main_frame;
        outside_status.Set(main_frame.StatusBarWidget());
        AlarmNotices notices(main_frame);
        program.AddListener(notices);
        if (!data_folder.empty()) {
            main_frame.DevicePage()->SetRulesEditor([&main_frame, &program, &connections] {
                EditRules(&main_frame, program, connections);
            });
            main_frame.ScenarioPage()->SetFileUsedHandler(
                [&program](const std::string& path) { program.RememberScenarioFile(path); });
        }
        main_frame.move(0, 0);
        main_frame.resize(800, 600);
        main_frame.show();
        if (close_pending) main_frame.PostToFrame(WM_CLOSE_REQUEST, 0, 0);
        if (shown) shown(main_frame);
        if (!main_frame.Closed())
            code = app.exec();
        else
            code = main_frame.ExitCode();
        StopMessageBoxes();
        closed_in_order = main_frame.Closed();
        program.RemoveListener(notices);
        outside_status.Set(nullptr);
        frame = nullptr;
    }
    // The engine has shut down and left the outputs as an orderly close leaves them.
    if (closed_in_order) guard.Disarm();
    SetMessageBoxHandler({});
    return code;
}

}  // namespace kalvo
