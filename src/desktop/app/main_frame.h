#pragma once
// The main window: toolbar, status bar, the archive tree pane and the tab area with the device
// page, the scenario page and the live view. It shows a Program that outlives it, drives the
// start-up chain, applies the stored start-up options when the engine is ready, carries the
// start and stop commands, hides into the notification area and runs the close protocol.
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/engine/program.h"
#include "desktop/app/tray_icon.h"
#include "desktop/archive/archive_frame_link.h"
#include "desktop/chart/live_view_host.h"
#include "desktop/widgets/frame_link.h"

class QAction;
class QSplitter;
class QTabWidget;
class QToolBar;

namespace kalvo {

class AppEvent;
class CDlgSn;
class CKalvoView;
class CMPSBarWithProgressAndBMP;
class CTreeWnd;
class CViewDev;
class DesktopHost;
class GridBase;

class CMainFrame : public QMainWindow,
                   public FrameLink,
                   public LiveViewHost,
                   public ArchiveFrameLink {
  public:
    struct Options {
        // Null: the desktop's notification area. Not owned.
        TrayIcon* tray = nullptr;
        // Leave the application's event loop once the window has closed.
        bool quit_on_close = true;
    };

    // The program must outlive the window.
    CMainFrame(Program& program, Options options);
    explicit CMainFrame(Program& program) : CMainFrame(program, Options{}) {}
    ~CMainFrame() override;

    // The start command: the start and stop buttons, the scenario restart, then the worker
    // resumed.
    void StartCommand();
    // Hides the main window into the notification area.
    void HideToTray();

    // ---- FrameLink, LiveViewHost and ArchiveFrameLink ----
    void PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
    void HideMainWindow() override;
    QRect MainWindowRect() const override;
    void MoveMainWindow(const QRect& rect) override;
    int GetAutoScrollSuspended() const override { return auto_scroll_suspended_; }
    void SetAutoScrollSuspended(int value) override;

    // ---- commands and requests ----
    // A toolbar command (or the same from the keyboard or a test).
    void OnCommand(int command);
    // The close protocol with this wParam: 0 a request (window, menu, signal, fatal start-up
    // error), 1 the worker has ended, anything else closes at once.
    void OnClose(uintptr_t wparam);
    // The desktop wants to end the session: refused where it can be, else an orderly close.
    void OnEndSession(bool can_refuse);

    // Runs when the engine reports it is ready (its bridge open), unless the window has closed
    // by then.
    using EngineReadyHandler = std::function<void(CMainFrame& frame)>;
    void SetEngineReadyHandler(EngineReadyHandler handler) { engine_ready_ = std::move(handler); }

    // ---- notification area ----
    bool TrayShown() const { return tray_shown_; }
    // A passing notification beside the notification-area icon, while the window hides there.
    void ShowNotice(const QString& title, const QString& text) {
        if (tray_shown_) tray_->Notify(title, text);
    }
    // The menu as the right button shows it: title, separator, at most 32 thermometers, separator,
    // "Exit program".
    std::vector<TrayMenuItem> TrayMenu() const;
    static std::vector<TrayMenuItem> TrayMenuFor(const GridBase* thermometers);

    // ---- the archive tree and stored days ----
    // The archive tree in the "Tree" pane; null once another widget has taken its place.
    CTreeWnd* ArchiveTree() const { return archive_tree_; }
    // Replaces what fills the "Tree" pane (the frame owns it; null: an empty pane). The widget
    // takes part in the start-up chain: it gets WM_APP_INIT_VIEW and answers with
    // WM_APP_INIT_NEXT, lParam 1.
    void SetTreeWidget(QWidget* tree);
    QWidget* TreeWidget() const { return tree_; }
    // WM_APP_OPEN_DAY from the tree. By default the day under the point opens in a new tab.
    using OpenDayHandler = std::function<void(CMainFrame& frame, const AppEvent& event)>;
    void SetOpenDayHandler(OpenDayHandler handler) { open_day_ = std::move(handler); }
    // A stored-day page as a new active tab with a close button (the frame owns it).
    int AddDayPage(QWidget* page, const QString& title);
    // The program's archive root and today's day file as the start-up prepared them; the root
    // is empty when the folders could not be made.
    const std::string& ArchiveRootPath() const { return program_.ArchiveRoot(); }
    const std::string& StartDayFile() const { return program_.StartDayFile(); }

    // ---- parts (window thread) ----
    CMPSBarWithProgressAndBMP* StatusBarWidget() const { return status_bar_; }
    QToolBar* ToolBar() const { return toolbar_; }
    QAction* Action(int command) const;
    QTabWidget* Tabs() const { return tabs_; }
    QWidget* TreePane() const { return tree_pane_; }
    CViewDev* DevicePage() const { return device_page_; }
    CDlgSn* ScenarioPage() const { return scenario_page_; }
    CKalvoView* LiveView() const { return live_view_; }
    Program& GetProgram() const { return program_; }
    Engine& GetEngine() const { return program_.GetEngine(); }
    // True once the close protocol has closed the window.
    bool Closed() const { return closed_; }
    // The event loop's exit code once closed.
    int ExitCode() const { return exit_code_; }

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void CreateToolBar();
    void OnAppEvent(const AppEvent& event);
    void OnInitView();
    void OnInitNext(intptr_t step);
    void OnEngineReady(uintptr_t start_up);
    void OnTray(intptr_t mouse_message);
    void RestoreFromTray();
    void StopCommand();
    void UpdateToolBar();
    void ShowButton(int command, bool visible);
    void ShowAbout();
    void CloseNow();
    // WM_APP_INIT_VIEW carrying the status bar.
    std::unique_ptr<AppEvent> InitViewWithStatusBar() const;

    Program& program_;
    Options options_;
    std::unique_ptr<TrayIcon> own_tray_;
    TrayIcon* tray_;

    // Pages (children of the tab area), the tree and the status bar.
    CViewDev* device_page_ = nullptr;
    CDlgSn* scenario_page_ = nullptr;
    CKalvoView* live_view_ = nullptr;
    QWidget* tree_ = nullptr;
    CTreeWnd* archive_tree_ = nullptr;
    CMPSBarWithProgressAndBMP* status_bar_ = nullptr;

    QToolBar* toolbar_ = nullptr;
    std::map<int, QAction*> actions_;
    QWidget* active_page_ = nullptr;
    int auto_scroll_suspended_ = 0;

    // Notification-area icon record.
    bool tray_shown_ = false;
    QString tray_tip_;

    QSplitter* splitter_ = nullptr;
    QWidget* tree_pane_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    OpenDayHandler open_day_;
    EngineReadyHandler engine_ready_;
    bool close_requested_ = false;  // waiting for the worker's own close
    bool closing_ = false;          // the window may close now
    bool closed_ = false;
    int exit_code_ = 0;

    // The engine's host, attached to the program while it lives. A member ends before the
    // windows (children) it reports to, so the engine's threads stop while they all stand.
    std::unique_ptr<DesktopHost> host_;
};

}  // namespace kalvo
