#pragma once
// The property grid: a table view over any GridBase with an in-place editor per cell kind.
// Text and whole-number cells edit in a line edit, list cells in a drop-down list, colour cells
// through the colour chooser on a double-click (or Enter); read-only and state-colour cells are
// shown only. A click tells the grid (UserClicked) and starts the editor of an editable cell.
#include <QTableView>

#include <cstdint>
#include <vector>

#include "core/common/grid_base.h"
#include "desktop/widgets/grid_model.h"

namespace kalvo {

class PropertyGrid : public QTableView {
  public:
    // The grid must outlive the view.
    explicit PropertyGrid(GridBase& grid, QWidget* parent = nullptr);
    ~PropertyGrid() override;

    GridModel* Model() const { return model_; }
    GridBase& Grid() const { return model_->Grid(); }
    void SetNotifyHandler(GridModel::NotifyHandler handler) {
        model_->SetNotifyHandler(std::move(handler));
    }
    void SetEditCheck(GridModel::EditCheck check) { model_->SetEditCheck(std::move(check)); }
    // A tooltip for the whole row, shown below a cell's own text when that does not fit.
    void SetRowTip(GridModel::RowTip tip) { model_->SetRowTip(std::move(tip)); }
    void SetCellTip(GridModel::CellTip tip) { model_->SetCellTip(std::move(tip)); }
    void SetRowAlert(GridModel::RowAlert alert) { model_->SetRowAlert(std::move(alert)); }
    // Factor from the tables' pixel widths, laid out for a small dialog font, to this font's
    // (at least 1).
    double ColumnScale() const;
    // Colour of the area without rows (COLORREF).
    void SetListBackground(uint32_t colorref);

    // Rectangle of a cell in viewport coordinates (tests and the screenshot tool).
    QRect CellRect(int row, int col) const;
    // Opens the colour chooser for a colour cell; true when a colour was stored.
    bool ChooseCellColour(int row, int col);

    QSize sizeHint() const override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    class Delegate;
    void ApplyColumns();
    // Widens the read-only text columns among first..last that the user has not sized to
    // their widest cell: nobody can open those cells to read what does not fit.
    void FitToContent(int first, int last);
    void OnClicked(const QModelIndex& index);
    void OnDoubleClicked(const QModelIndex& index);

    GridModel* model_;
    int applied_columns_ = -1;
    std::vector<bool> user_sized_;
    bool fitting_ = false;
};

}  // namespace kalvo
