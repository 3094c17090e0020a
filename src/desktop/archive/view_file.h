#pragma once
// A stored day as a chart in its own tab: tooltip, colour commands, thinning to one thermometer
// and CSV export.
#include <cstdint>
#include <functional>
#include <string>

#include "core/archive/data_file.h"
#include "core/common/sample_record.h"
#include "desktop/chart/chart_view.h"
#include "desktop/widgets/file_dialog.h"

class QAction;
class QMenu;
class QString;
class QTabWidget;

namespace kalvo {

class CTreeWnd;
class StatusBar;

// Besides the program's own messages it takes WM_COMMAND_MSG and WM_FORWARDMSG (wParam: a
// command id) as AppEvents.
class CViewFile : public CChartView {
  public:
    // `status` is the main window's status bar (may be null); it must outlive the view.
    explicit CViewFile(StatusBar* status, QWidget* parent = nullptr);
    ~CViewFile() override;

    // Starts the chart and, for a non-empty path, shows the path and posts WM_APP_LOAD_DAY.
    void InitView(const std::string& path);
    // Reads the day file into the chart. False when it cannot be read (LastReadError says why);
    // the chart keeps what it showed.
    bool LoadDay();
    SHELL::ReadError LastReadError() const { return last_error_; }
    // The status text of a day that cannot be shown, with the reason.
    static std::u16string LoadFailureText(SHELL::ReadError why);
    // The two colour commands and the export (kCmdExport); false for any other command. A
    // cancelled export does nothing; a finished one says how many lines went where in the
    // status bar.
    bool OnCommand(int command_id) override;
    // A context menu command (kCmdCompress, kCmdRestore) for a client point of the viewport.
    void OnMenuCommand(int command_id, QPoint at);

    // Thins the chart to the curve of `selected`'s thermometer.
    void CompressSeries(const SampleRecord& selected);
    // Tooltip text of a record.
    static std::u16string TooltipFor(const SampleRecord& record);

    const std::string& Path() const { return path_; }
    bool IsInitialised() const { return chart_.IsStarted(); }

    // The save dialog of the export.
    static FileDialogOptions CsvDialogOptions();

    // Replaces the context menu's modal run; tests pick an entry without a person.
    using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& global)>;
    static void SetMenuRunnerForTesting(MenuRunner runner);

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    std::u16string ClickTooltip(const SampleRecord& record) const override;

  private:
    void SetStatus(std::u16string_view text);
    void UpdateScroll();
    void ExportCsv();

    StatusBar* status_;
    std::string path_;
    SHELL::ReadError last_error_ = SHELL::ReadError::kNone;
};

// Opens the day file node under `pos` (tree viewport coordinates, or the lParam of
// WM_APP_OPEN_DAY) in a new stored-day view: `add` puts it into a new tab captioned with the
// file name, takes it over and makes it the active tab. Each call opens a further view. The view
// is then initialised with the day's path. Null when no day file is there (or `add` did not take
// the view).
using AddDayPage = std::function<void(CViewFile* view, const QString& caption)>;
CViewFile* OpenDay(const CTreeWnd& tree, QPoint pos, StatusBar* status, const AddDayPage& add);
CViewFile* OpenDay(const CTreeWnd& tree, intptr_t lparam, StatusBar* status, const AddDayPage& add);
// The same over a tab widget.
CViewFile* OpenDayTab(QTabWidget* tabs, const CTreeWnd& tree, QPoint pos, StatusBar* status);
CViewFile* OpenDayTab(QTabWidget* tabs, const CTreeWnd& tree, intptr_t lparam, StatusBar* status);

}  // namespace kalvo
