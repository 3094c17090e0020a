#include "desktop/archive/tree_wnd.h"

#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QStyle>

#include <algorithm>
#include <limits>

#include "core/common/messages.h"
#include "desktop/archive/archive_frame_link.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

constexpr int kNodeType = QTreeWidgetItem::UserType + 1;
constexpr int kIconSize = 16;  // pixels, the system's small icons
constexpr size_t kDigitSearch = 64;
constexpr int64_t kNumberLimit = std::numeric_limits<int64_t>::max() / 10 - 10;

int g_live_nodes = 0;

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Digits from `i` on, held at a large bound instead of overflowing.
int64_t DigitsFrom(std::u16string_view s, size_t i) {
    int64_t value = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        if (value < kNumberLimit) value = value * 10 + (s[i] - u'0');
    return value;
}

// A folder name read as a number from its start, like atoi: "3 март" reads 3, "abc" reads 0.
int64_t LeadingNumber(std::u16string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || (s[i] >= u'\t' && s[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    const int64_t value = DigitsFrom(s, i);
    return negative ? -value : value;
}

// The number that starts at the first digit of a file name: day7.dat reads 7.
bool FileNumber(std::u16string_view s, int64_t* value) {
    const size_t end = std::min(s.size(), kDigitSearch);
    for (size_t i = 0; i < end; ++i) {
        if (IsDigit(s[i])) {
            *value = DigitsFrom(s, i);
            return true;
        }
    }
    return false;
}

int LargerFirst(int64_t a, int64_t b) {
    return a > b ? -1 : a < b ? 1 : 0;
}

struct Entry {
    ArchiveItem item;
    QFileInfo info;
};

// Stable, and safe with a comparison that leaves some pairs unordered (no strict weak order).
// Folders of the archive hold a few dozen entries.
void SortEntries(std::vector<Entry>& entries) {
    for (size_t i = 1; i < entries.size(); ++i)
        for (size_t j = i; j > 0 && CompareArchiveItems(entries[j].item, entries[j - 1].item) < 0;
             --j)
            std::swap(entries[j], entries[j - 1]);
}

}  // namespace

int CompareArchiveItems(const ArchiveItem& a, const ArchiveItem& b) {
    if (a.folder != b.folder) return 0;
    if (a.folder) {
        const int64_t na = LeadingNumber(a.name), nb = LeadingNumber(b.name);
        const bool years = na > 2000 && nb > 2000;
        const bool months = na < 13 && nb < 13;
        return years || months ? LargerFirst(na, nb) : 0;
    }
    int64_t na = 0, nb = 0;
    if (!FileNumber(a.name, &na) || !FileNumber(b.name, &nb)) return 0;
    return LargerFirst(na, nb);
}

class CTreeWnd::Node : public QTreeWidgetItem {
  public:
    Node(QTreeWidgetItem* parent, TreeItemData d)
        : QTreeWidgetItem(parent, kNodeType), data(std::move(d)) {
        ++g_live_nodes;
    }
    ~Node() override { --g_live_nodes; }

    TreeItemData data;
};

CTreeWnd::CTreeWnd(ArchiveFrameLink* link, std::string archive_root, QWidget* parent)
    : QTreeWidget(parent), link_(link), root_(std::move(archive_root)) {
    setObjectName(QStringLiteral("ArchiveTree"));
    setColumnCount(1);
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(kIconSize, kIconSize));
    setFrameShape(QFrame::StyledPanel);
    setExpandsOnDoubleClick(false);
    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { OnExpandedOrCollapsed(item, true); });
    connect(this, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { OnExpandedOrCollapsed(item, false); });
}

CTreeWnd::~CTreeWnd() = default;

int CTreeWnd::LiveNodesForTesting() {
    return g_live_nodes;
}

const TreeItemData* CTreeWnd::DataOf(const QTreeWidgetItem* item) {
    if (!item || item->type() != kNodeType) return nullptr;
    return &static_cast<const Node*>(item)->data;
}

const TreeItemData* CTreeWnd::DataAt(QPoint pos) const {
    return DataOf(itemAt(pos));
}

const TreeItemData* CTreeWnd::DayAt(QPoint pos) const {
    const TreeItemData* data = DataAt(pos);
    if (!data || data->folder || data->name.find('.') == std::string::npos) return nullptr;
    return data;
}

void CTreeWnd::FillTree() {
    clear();
    if (!root_.empty()) FillNode(root_, invisibleRootItem());
}

void CTreeWnd::FillNode(const std::string& folder, QTreeWidgetItem* parent) {
    const QDir dir(QFile::decodeName(folder.c_str()));
    // Without QDir::Hidden and QDir::System: hidden entries, sockets and broken links stay out.
    const QFileInfoList infos =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    std::vector<Entry> entries;
    entries.reserve(size_t(infos.size()));
    for (const QFileInfo& info : infos) {
        const QString name = info.fileName();
        // The settings file shares the archive root with the year folders.
        if (name.contains(QStringLiteral(".stg"))) continue;
        entries.push_back({ArchiveItem{FromQString(name), info.isDir()}, info});
    }
    SortEntries(entries);

    const QIcon open_folder = style()->standardIcon(QStyle::SP_DirOpenIcon);
    for (const Entry& e : entries) {
        TreeItemData data;
        data.parent_folder = folder;
        data.name = QFile::encodeName(e.info.fileName()).toStdString();
        data.path = folder + '/' + data.name;
        data.folder = e.item.folder;
        auto* node = new Node(parent, std::move(data));  // owned by its parent item
        node->setText(0, e.info.fileName());
        const QIcon icon = icons_.icon(e.info);
        if (e.item.folder) {
            QIcon both;
            both.addPixmap(icon.pixmap(kIconSize), QIcon::Normal);
            both.addPixmap(open_folder.pixmap(kIconSize), QIcon::Selected);
            node->setIcon(0, both);
            node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        } else {
            node->setIcon(0, icon);
            node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        }
    }
}

void CTreeWnd::OnExpandedOrCollapsed(QTreeWidgetItem* item, bool expanded) {
    auto* node = item && item->type() == kNodeType ? static_cast<Node*>(item) : nullptr;
    if (!node) return;
    if (node->data.expanded_once) {
        // A second expansion or collapse reads the whole archive again: new days and months
        // appear this way.
        ScheduleRebuild();
        return;
    }
    if (!expanded) return;
    node->data.expanded_once = true;
    if (node->childCount() == 0) FillNode(node->data.path, node);
    if (node->childCount() == 0)
        node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void CTreeWnd::ScheduleRebuild() {
    if (rebuild_pending_) return;
    rebuild_pending_ = true;
    // Not inside the view's own expand or collapse: it still uses the node afterwards.
    QMetaObject::invokeMethod(
        this,
        [this] {
            rebuild_pending_ = false;
            FillTree();
        },
        Qt::QueuedConnection);
}

bool CTreeWnd::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event); e && e->Message() == WM_APP_INIT_VIEW) {
        FillTree();
        if (link_) link_->PostToFrame(WM_APP_INIT_NEXT, 0, kInitTreeDone);
        return true;
    }
    return QTreeWidget::event(event);
}

void CTreeWnd::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QTreeWidget::mouseDoubleClickEvent(event);
        return;
    }
    // The control's own handling would toggle a folder; here a double click only opens a day.
    const QPoint at = event->position().toPoint();
    if (link_) link_->PostToFrame(WM_APP_OPEN_DAY, 0, PackPoint(at.x(), at.y()));
    event->accept();
}

}  // namespace kalvo
