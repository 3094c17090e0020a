#pragma once
// A GridBase seen as a Qt table model. The grid stays the store: every read goes to its cells,
// every user edit goes through its UserSet* entry points, so the table's end-of-edit rules and
// observers run exactly as for any other caller.
#include <QAbstractTableModel>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/common/grid_base.h"

namespace kalvo {

class GridModel : public QAbstractTableModel {
  public:
    // COLORREF of colour and state-colour cells (uint).
    static constexpr int kColourRole = Qt::UserRole + 1;
    // CellKind of the cell (int).
    static constexpr int kKindRole = Qt::UserRole + 2;

    // Called on the window thread after a user edit changed a cell (kNotifyItemChanged) and
    // after a click (kNotifyCellClicked). For a click, a non-zero answer keeps the view from
    // going on with its own handling (starting the in-place editor).
    using NotifyHandler = std::function<int(int code, int row, int col)>;
    // Looks at what the user typed into a text cell before it reaches the grid: the text to
    // store (perhaps normalised), or nothing to refuse the edit, which leaves the cell as it was
    // (the check tells the user why).
    using EditCheck =
        std::function<std::optional<std::u16string>(int row, int col, const std::u16string& typed)>;
    // The tooltip of every cell of a row (Qt::ToolTipRole); empty for none. Window thread.
    using RowTip = std::function<std::u16string(int row)>;
    // A cell's own tooltip, shown above the row's; empty for none. Window thread.
    using CellTip = std::function<std::u16string(int row, int col)>;
    // Rows to paint in the alert colour (an alarm standing). Window thread.
    using RowAlert = std::function<bool(int row)>;
    static constexpr uint32_t kAlertColour = 0xC8C8FF;  // COLORREF: a light red

    // The grid must outlive the model.
    explicit GridModel(GridBase& grid, QObject* parent = nullptr);
    ~GridModel() override;

    GridBase& Grid() const { return grid_; }
    void SetNotifyHandler(NotifyHandler handler) { notify_ = std::move(handler); }
    void SetEditCheck(EditCheck check) { check_ = std::move(check); }
    void SetRowTip(RowTip tip) { row_tip_ = std::move(tip); }
    void SetCellTip(CellTip tip) { cell_tip_ = std::move(tip); }
    void SetRowAlert(RowAlert alert) { row_alert_ = std::move(alert); }
    int Notify(int code, int row, int col) const;

    CellKind KindAt(int col) const;
    static bool IsEditableKind(CellKind kind) {
        return kind == CellKind::kText || kind == CellKind::kNumber || kind == CellKind::kList;
    }

    // Takes the grid's current shape at once (window thread); notices from other threads do
    // the same through the event loop.
    void Reload();
    // Repaints what changed since the last flush; runs by itself from the event loop.
    void FlushChanges();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // A user edit: EditRole with the typed text (text and number cells) or the item index
    // (list cells), kColourRole with a COLORREF (colour cells). False when nothing changed.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  private:
    class Forwarder;

    GridBase& grid_;
    std::unique_ptr<Forwarder> forwarder_;
    NotifyHandler notify_;
    EditCheck check_;
    RowTip row_tip_;
    CellTip cell_tip_;
    RowAlert row_alert_;
    int rows_ = 0;
    int cols_ = 0;
    std::vector<CellKind> kinds_;
};

}  // namespace kalvo
