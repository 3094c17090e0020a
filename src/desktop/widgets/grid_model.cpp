#include "desktop/widgets/grid_model.h"

#include <QColor>
#include <QThread>

#include <algorithm>
#include <mutex>
#include <vector>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {

// Collects the grid's change notices from any thread and hands them to the model on its own
// thread, one queued flush for any number of notices.
class GridModel::Forwarder : public GridObserver {
  public:
    struct Pending {
        bool reset = false;
        bool any = false;
        int top = 0, left = 0, bottom = 0, right = 0;
    };

    explicit Forwarder(GridModel* model) : model_(model) {}

    void Detach() {
        std::lock_guard lock(mutex_);
        model_ = nullptr;
    }

    void OnCellChanged(int row, int col) override {
        std::lock_guard lock(mutex_);
        if (!model_ || row < 0 || col < 0) return;
        if (!pending_.any) {
            pending_.top = pending_.bottom = row;
            pending_.left = pending_.right = col;
            pending_.any = true;
        } else {
            pending_.top = std::min(pending_.top, row);
            pending_.bottom = std::max(pending_.bottom, row);
            pending_.left = std::min(pending_.left, col);
            pending_.right = std::max(pending_.right, col);
        }
        PostFlushLocked();
    }

    void OnRowsReset() override {
        GridModel* model;
        {
            std::lock_guard lock(mutex_);
            model = model_;
            if (!model) return;
            if (QThread::currentThread() != model->thread()) {
                pending_.reset = true;
                PostFlushLocked();
                return;
            }
        }
        // On the model's own thread the model cannot go away under us; a building table is
        // shown at once.
        model->Reload();
    }

    Pending Take() {
        std::lock_guard lock(mutex_);
        Pending taken = pending_;
        pending_ = {};
        flush_posted_ = false;
        return taken;
    }

  private:
    void PostFlushLocked() {
        if (flush_posted_) return;
        flush_posted_ = true;
        GridModel* model = model_;
        QMetaObject::invokeMethod(
            model, [model] { model->FlushChanges(); }, Qt::QueuedConnection);
    }

    std::mutex mutex_;
    GridModel* model_;
    Pending pending_;
    bool flush_posted_ = false;
};

GridModel::GridModel(GridBase& grid, QObject* parent)
    : QAbstractTableModel(parent), grid_(grid), forwarder_(std::make_unique<Forwarder>(this)) {
    grid_.AddObserver(forwarder_.get());
    Reload();
}

GridModel::~GridModel() {
    // Notices that arrive while the grid lets go post nothing more to the dying model.
    forwarder_->Detach();
    // Waits for a notice under way on another thread, so the forwarder dies with the model.
    grid_.RemoveObserver(forwarder_.get());
}

int GridModel::Notify(int code, int row, int col) const {
    return notify_ ? notify_(code, row, col) : 0;
}

CellKind GridModel::KindAt(int col) const {
    return col >= 0 && col < int(kinds_.size()) ? kinds_[size_t(col)] : CellKind::kReadOnlyText;
}

void GridModel::Reload() {
    beginResetModel();
    cols_ = grid_.ColumnCount();
    kinds_.clear();
    for (int c = 0; c < cols_; ++c) kinds_.push_back(grid_.Column(c).kind);
    rows_ = grid_.RowCount();
    endResetModel();
}

void GridModel::FlushChanges() {
    const Forwarder::Pending p = forwarder_->Take();
    if (p.reset) {
        Reload();
        return;
    }
    if (!p.any || rows_ == 0 || cols_ == 0 || p.top >= rows_ || p.left >= cols_) return;
    emit dataChanged(index(p.top, p.left),
                     index(std::min(p.bottom, rows_ - 1), std::min(p.right, cols_ - 1)));
}

int GridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int GridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cols_;
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const int row = index.row();
    const int col = index.column();
    const CellKind kind = KindAt(col);
    switch (role) {
        case Qt::DisplayRole:
            return ToQString(grid_.CellText(row, col));
        case Qt::EditRole:
            if (kind == CellKind::kList) return grid_.CellNumber(row, col);
            return ToQString(grid_.CellText(row, col));
        case Qt::BackgroundRole: {
            // Colour cells show their colour whatever the row's state.
            const bool colour = kind == CellKind::kColour || kind == CellKind::kStateColour;
            const uint32_t c = !colour && row_alert_ && row_alert_(row)
                                   ? kAlertColour
                                   : grid_.CellBackground(row, col);
            return QColor(RedOf(c), GreenOf(c), BlueOf(c));
        }
        case Qt::TextAlignmentRole:
            return int(Qt::AlignLeft | Qt::AlignVCenter);
        case kColourRole:
            return uint(grid_.CellColour(row, col));
        case kKindRole:
            return int(kind);
        case Qt::ToolTipRole: {
            std::u16string tip = cell_tip_ ? cell_tip_(row, col) : std::u16string();
            const std::u16string row_tip = row_tip_ ? row_tip_(row) : std::u16string();
            if (!tip.empty() && !row_tip.empty()) tip += u"\n\n";
            tip += row_tip;
            if (!tip.empty()) return ToQString(tip);
            return {};
        }
        default:
            return {};
    }
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) return ToQString(grid_.Column(section).header);
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (IsEditableKind(KindAt(index.column()))) f |= Qt::ItemIsEditable;
    return f;
}

bool GridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid()) return false;
    const int row = index.row();
    const int col = index.column();
    bool changed = false;
    switch (KindAt(col)) {
        case CellKind::kText: {
            if (role != Qt::EditRole) return false;
            std::u16string text = FromQString(value.toString());
            // An editor closed unchanged is no entry, whatever the cell holds.
            if (text == grid_.CellText(row, col)) return false;
            if (check_) {
                std::optional<std::u16string> checked = check_(row, col, text);
                if (!checked) return false;
                text = std::move(*checked);
                if (text == grid_.CellText(row, col)) return false;
            }
            changed = grid_.UserSetText(row, col, text);
            break;
        }
        case CellKind::kNumber: {
            if (role != Qt::EditRole) return false;
            QString typed = value.toString().trimmed();
            if (typed.isEmpty()) typed = QStringLiteral("0");  // an emptied number reads as 0
            const std::u16string text = FromQString(typed);
            int64_t number;
            if (!ParseInteger(text, &number) || number == grid_.CellNumber(row, col)) return false;
            changed = grid_.UserSetText(row, col, text);  // refuses what does not fit 32 bits
            break;
        }
        case CellKind::kList: {
            if (role != Qt::EditRole) return false;
            bool ok = false;
            const int item = value.toInt(&ok);
            if (!ok || item < 0 || item >= int(grid_.Column(col).items.size()) ||
                item == grid_.CellNumber(row, col))
                return false;
            changed = grid_.UserSetNumber(row, col, item);
            break;
        }
        case CellKind::kColour: {
            if (role != kColourRole) return false;
            const uint32_t colour = value.toUInt() & 0x00FFFFFFu;
            if (colour == grid_.CellColour(row, col)) return false;
            changed = grid_.UserSetColour(row, col, colour);
            break;
        }
        default:
            return false;
    }
    if (!changed) return false;
    Notify(kNotifyItemChanged, row, col);
    return true;
}

}  // namespace kalvo
