#include "desktop/archive/view_file.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QTabWidget>

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>

#include "core/archive/compress.h"
#include "core/archive/csv_export.h"
#include "core/archive/data_file.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "desktop/archive/archive_frame_link.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/chart/chart_layout.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/file_dialog.h"

namespace kalvo {
namespace {

CViewFile::MenuRunner g_menu_runner;

}  // namespace

void CViewFile::SetMenuRunnerForTesting(MenuRunner runner) {
    g_menu_runner = std::move(runner);
}

CViewFile::CViewFile(StatusBar* status, QWidget* parent) : CChartView(parent), status_(status) {
    setObjectName(QStringLiteral("ViewFile"));
    setAttribute(Qt::WA_DeleteOnClose);
}

CViewFile::~CViewFile() = default;

void CViewFile::SetStatus(std::u16string_view text) {
    if (status_) status_->SetPaneText(kPaneMain, text);
}

void CViewFile::InitView(const std::string& path) {
    path_ = path;
    if (!StartChart()) return;
    ClearScrollExtent();
    viewport()->update();
    if (!path_.empty()) {
        SetStatus(Utf8ToUtf16(path_));
        PostAppEvent(this, WM_APP_LOAD_DAY);
    }
}

std::u16string CViewFile::LoadFailureText(SHELL::ReadError why) {
    std::u16string text = u"Возможно файл не имеет данных";
    if (why != SHELL::ReadError::kNone)
        text += u": " + std::u16string(SHELL::ReadErrorTextRus(why));
    return text;
}

bool CViewFile::LoadDay() {
    SampleList records;
    SHELL::CDataFile file;
    const uint32_t thermometers = file.Read(path_, records, &last_error_);
    if (thermometers == 0) return false;
    chart_.SetSeriesCount(int(std::min<uint32_t>(thermometers, INT_MAX)));
    chart_.Clear();
    chart_.Append(records);
    const TemperatureRange range = DayRange(chart_.GetSamples());
    chart_.SetRange(range.upper, range.lower);
    UpdateScroll();
    viewport()->update();
    return true;
}

void CViewFile::UpdateScroll() {
    const int64_t width = chart_.GetDataWidth();
    const int client = viewport()->width();
    const int margin = CChart::GetLeftMargin(), step = CChart::GetStepWidth();
    // The plot starts after the left margin, so the margin and one group more are added: at the
    // far end the day's last time group stands inside the window.
    const int extent =
        width < client - margin ? 1 : int(std::min<int64_t>(width + margin + step, INT_MAX / 2));
    SetScrollBar(extent, std::min(step, extent), std::max(1, std::min(client / step, extent)));
}

std::u16string CViewFile::TooltipFor(const SampleRecord& record) {
    return SampleTooltipText(record, false);
}

std::u16string CViewFile::ClickTooltip(const SampleRecord& record) const {
    return TooltipFor(record);
}

void CViewFile::CompressSeries(const SampleRecord& selected) {
    const CompressOutcome outcome = kalvo::CompressSeries(chart_.GetSamples(), selected, status_);
    if (outcome == CompressOutcome::kCompressed) chart_.SetSeriesCount(1);
    // The range stays that of the whole day.
    UpdateScroll();
    viewport()->update();
}

void CViewFile::OnMenuCommand(int command_id, QPoint at) {
    if (command_id == kCmdCompress) {
        SampleRecord selected;
        if (HitTestRecord(at, &selected)) CompressSeries(selected);
    } else if (command_id == kCmdRestore) {
        LoadDay();  // an unreadable file leaves the chart as it was, silently
        viewport()->update();
    }
}

bool CViewFile::OnCommand(int command_id) {
    if (command_id != kCmdExport) return CChartView::OnCommand(command_id);
    ExportCsv();
    return true;
}

FileDialogOptions CViewFile::CsvDialogOptions() {
    FileDialogOptions options;
    options.mode = FileDialogOptions::Mode::kSave;  // asks before replacing a file
    options.filter = u"EXEL Files (*.csv)";
    options.pattern = u"*.csv";
    options.default_extension = u"csv";
    return options;
}

void CViewFile::ExportCsv() {
    const std::optional<std::string> target =
        ChooseFile(QApplication::activeWindow(), CsvDialogOptions());
    if (!target || target->empty()) return;  // cancelled: nothing to do, nothing to report
    size_t lines = 0;
    const CsvResult result = kalvo::ExportCsv(path_, *target, &lines);
    if (result != CsvResult::kOk) {
        ShowCsvResult(result);
        return;
    }
    SetStatus(u"Exported " + ToU16(int64_t(lines)) + u" lines to " + Utf8ToUtf16(*target));
}

bool CViewFile::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event)) {
        switch (e->Message()) {
            case WM_APP_INIT_VIEW: {
                const std::string* path = e->Payload<std::string>();
                InitView(path ? *path : std::string());
                return true;
            }
            case WM_APP_LOAD_DAY:
                if (!LoadDay()) SetStatus(LoadFailureText(last_error_));
                return true;
            case WM_COMMAND_MSG:
            case WM_FORWARDMSG:
                OnCommand(int(e->WParam()));
                return true;
            case WM_CLOSE_REQUEST:
                close();
                return true;
            default:
                break;
        }
    }
    return CChartView::event(event);
}

void CViewFile::paintEvent(QPaintEvent*) {
    PaintChart(true);
}

void CViewFile::resizeEvent(QResizeEvent* event) {
    CChartView::resizeEvent(event);
    if (IsInitialised()) UpdateScroll();
}

void CViewFile::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Data compression"))->setData(kCmdCompress);
    menu.addAction(QStringLiteral("Data restore"))->setData(kCmdRestore);
    QAction* chosen =
        g_menu_runner ? g_menu_runner(menu, event->globalPos()) : menu.exec(event->globalPos());
    if (chosen) OnMenuCommand(chosen->data().toInt(), event->pos());
}

void CViewFile::closeEvent(QCloseEvent* event) {
    SetStatus(u"");
    event->accept();
}

CViewFile* OpenDay(const CTreeWnd& tree, QPoint pos, StatusBar* status, const AddDayPage& add) {
    const TreeItemData* day = tree.DayAt(pos);
    if (!day || !add) return nullptr;
    const std::string path = day->path;
    auto view = std::make_unique<CViewFile>(status);
    add(view.get(), QFile::decodeName(day->name.c_str()));
    if (!view->parent()) return nullptr;  // not taken: freed here
    CViewFile* taken = view.release();    // owned by its tab from now on
    taken->InitView(path);
    return taken;
}

CViewFile* OpenDay(const CTreeWnd& tree, intptr_t lparam, StatusBar* status,
                   const AddDayPage& add) {
    return OpenDay(tree, QPoint(PointX(lparam), PointY(lparam)), status, add);
}

CViewFile* OpenDayTab(QTabWidget* tabs, const CTreeWnd& tree, QPoint pos, StatusBar* status) {
    if (!tabs) return nullptr;
    return OpenDay(tree, pos, status, [tabs](CViewFile* view, const QString& caption) {
        tabs->setCurrentIndex(tabs->addTab(view, caption));
    });
}

CViewFile* OpenDayTab(QTabWidget* tabs, const CTreeWnd& tree, intptr_t lparam, StatusBar* status) {
    return OpenDayTab(tabs, tree, QPoint(PointX(lparam), PointY(lparam)), status);
}

}  // namespace kalvo
