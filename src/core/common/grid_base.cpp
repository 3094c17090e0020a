#include "core/common/grid_base.h"

#include <algorithm>
#include <thread>

#include "core/common/text.h"

namespace kalvo {

void GridBase::SetColumns(std::vector<GridColumn> columns) {
    {
        std::lock_guard lock(mutex_);
        columns_ = std::move(columns);
        rows_.clear();
    }
    ForEachObserver([&](GridObserver* o) { o->OnRowsReset(); });
}

int GridBase::ColumnCount() const {
    std::lock_guard lock(mutex_);
    return int(columns_.size());
}

GridColumn GridBase::Column(int col) const {
    std::lock_guard lock(mutex_);
    if (col < 0 || col >= int(columns_.size())) return {};
    return columns_[col];
}

int GridBase::RowCount() const {
    std::lock_guard lock(mutex_);
    return int(rows_.size());
}

int GridBase::AppendRow() {
    int index;
    {
        std::lock_guard lock(mutex_);
        rows_.emplace_back(columns_.size());
        index = int(rows_.size()) - 1;
    }
    ForEachObserver([&](GridObserver* o) { o->OnRowsReset(); });
    return index;
}

void GridBase::ClearRows() {
    {
        std::lock_guard lock(mutex_);
        rows_.clear();
    }
    ForEachObserver([&](GridObserver* o) { o->OnRowsReset(); });
}

const GridBase::Cell* GridBase::CellAt(int row, int col) const {
    if (row < 0 || row >= int(rows_.size()) || col < 0 || col >= int(columns_.size()))
        return nullptr;
    return &rows_[row][col];
}

GridBase::Cell* GridBase::CellAt(int row, int col) {
    return const_cast<Cell*>(static_cast<const GridBase*>(this)->CellAt(row, col));
}

std::u16string GridBase::CellText(int row, int col) const {
    std::lock_guard lock(mutex_);
    const Cell* c = CellAt(row, col);
    if (!c) return u"";
    switch (columns_[col].kind) {
        case CellKind::kNumber:
            return ToU16(c->number);
        case CellKind::kList: {
            const auto& items = columns_[col].items;
            return c->number >= 0 && c->number < int(items.size()) ? items[c->number] : u"";
        }
        case CellKind::kColour:
        case CellKind::kStateColour:
            return u"";
        default:
            return c->text;
    }
}

bool GridBase::SetCellText(int row, int col, std::u16string_view text) {
    {
        std::lock_guard lock(mutex_);
        Cell* c = CellAt(row, col);
        if (!c) return false;
        switch (columns_[col].kind) {
            case CellKind::kNumber: {
                int64_t v;
                if (!ParseInteger(text, &v) || v < INT32_MIN || v > INT32_MAX) return false;
                c->number = int32_t(v);
                break;
            }
            case CellKind::kList: {
                const auto& items = columns_[col].items;
                auto it = std::find(items.begin(), items.end(), text);
                if (it == items.end()) return false;
                c->number = int32_t(it - items.begin());
                break;
            }
            case CellKind::kColour:
            case CellKind::kStateColour:
                return false;
            default:
                c->text = std::u16string(text);
        }
    }
    NotifyChanged(row, col);
    return true;
}

int32_t GridBase::CellNumber(int row, int col) const {
    std::lock_guard lock(mutex_);
    const Cell* c = CellAt(row, col);
    if (!c) return -1;
    const CellKind k = columns_[col].kind;
    return (k == CellKind::kNumber || k == CellKind::kList) ? c->number : -1;
}

bool GridBase::SetCellNumber(int row, int col, int32_t value) {
    {
        std::lock_guard lock(mutex_);
        Cell* c = CellAt(row, col);
        if (!c) return false;
        const CellKind k = columns_[col].kind;
        if (k != CellKind::kNumber && k != CellKind::kList) return false;
        c->number = value;
    }
    NotifyChanged(row, col);
    return true;
}

uint32_t GridBase::CellColour(int row, int col) const {
    std::lock_guard lock(mutex_);
    const Cell* c = CellAt(row, col);
    if (!c) return 0;
    const CellKind k = columns_[col].kind;
    return (k == CellKind::kColour || k == CellKind::kStateColour) ? c->colour : 0;
}

bool GridBase::SetCellColour(int row, int col, uint32_t colorref) {
    {
        std::lock_guard lock(mutex_);
        Cell* c = CellAt(row, col);
        if (!c) return false;
        const CellKind k = columns_[col].kind;
        if (k != CellKind::kColour && k != CellKind::kStateColour) return false;
        c->colour = colorref & 0x00FFFFFF;
    }
    NotifyChanged(row, col);
    return true;
}

int64_t GridBase::CellData(int row, int col) const {
    std::lock_guard lock(mutex_);
    const Cell* c = CellAt(row, col);
    return c ? c->data : 0;
}

bool GridBase::SetCellData(int row, int col, int64_t value) {
    std::lock_guard lock(mutex_);
    Cell* c = CellAt(row, col);
    if (!c) return false;
    c->data = value;
    return true;
}

void GridBase::RedrawCell(int row, int col) {
    NotifyChanged(row, col);
}

uint32_t GridBase::CellBackground(int, int) const {
    return 0x00FFFFFF;
}

bool GridBase::UserSetText(int row, int col, std::u16string_view text) {
    if (!SetCellText(row, col, text)) return false;
    OnUserEdit(row, col);
    ForEachObserver([&](GridObserver* o) { o->OnItemChanged(row, col); });
    return true;
}

bool GridBase::UserSetNumber(int row, int col, int32_t value) {
    if (!SetCellNumber(row, col, value)) return false;
    OnUserEdit(row, col);
    ForEachObserver([&](GridObserver* o) { o->OnItemChanged(row, col); });
    return true;
}

bool GridBase::UserSetColour(int row, int col, uint32_t colorref) {
    if (!SetCellColour(row, col, colorref)) return false;
    OnUserEdit(row, col);
    ForEachObserver([&](GridObserver* o) { o->OnItemChanged(row, col); });
    return true;
}

void GridBase::UserClicked(int row, int col) {
    OnUserClick(row, col);
    ForEachObserver([&](GridObserver* o) { o->OnCellClicked(row, col); });
}

void GridBase::AddObserver(GridObserver* observer) {
    std::lock_guard lock(observers_mutex_);
    observers_.push_back(observer);
}

void GridBase::RemoveObserver(GridObserver* observer) {
    std::unique_lock lock(observers_mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    // A notification running on another thread may still be inside the observer; the caller is
    // about to destroy it. The thread removing from inside its own notification cannot wait.
    const auto self = std::this_thread::get_id();
    observers_idle_.wait(lock, [&] {
        return std::all_of(notifying_.begin(), notifying_.end(),
                           [&](std::thread::id t) { return t == self; });
    });
}

void GridBase::ForEachObserver(const std::function<void(GridObserver*)>& call) const {
    std::vector<GridObserver*> snapshot;
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard lock(observers_mutex_);
        if (observers_.empty()) return;
        snapshot = observers_;
        notifying_.push_back(self);
    }
    for (GridObserver* o : snapshot) {
        {
            std::lock_guard lock(observers_mutex_);
            if (std::find(observers_.begin(), observers_.end(), o) == observers_.end()) continue;
        }
        call(o);
    }
    std::lock_guard lock(observers_mutex_);
    notifying_.erase(std::find(notifying_.begin(), notifying_.end(), self));
    observers_idle_.notify_all();
}

void GridBase::NotifyChanged(int row, int col) {
    ForEachObserver([&](GridObserver* o) { o->OnCellChanged(row, col); });
}

void GridBase::NotifyRowsReset() {
    ForEachObserver([](GridObserver* o) { o->OnRowsReset(); });
}

}  // namespace kalvo
