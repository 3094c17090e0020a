#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kalvo {

enum class CellKind {
    kReadOnlyText,
    kText,
    kNumber,       // editable whole number
    kList,         // index into the column's items
    kColour,       // COLORREF, chosen by the user
    kStateColour,  // COLORREF, set by the program only
};

struct GridColumn {
    std::u16string header;
    int width = 100;  // pixels
    CellKind kind = CellKind::kReadOnlyText;
    std::u16string property;
    std::vector<std::u16string> items;  // list cells only
};

// Receives change notifications. Called without the grid's lock held, on the thread that made
// the change.
class GridObserver {
  public:
    virtual ~GridObserver() = default;
    virtual void OnCellChanged(int /*row*/, int /*col*/) {}
    // kNotifyItemChanged: the user finished an edit of the cell.
    virtual void OnItemChanged(int /*row*/, int /*col*/) {}
    // kNotifyCellClicked.
    virtual void OnCellClicked(int /*row*/, int /*col*/) {}
    virtual void OnRowsReset() {}
};

// The thread-safe cell store behind every table.
class GridBase {
  public:
    GridBase() = default;
    virtual ~GridBase() = default;
    GridBase(const GridBase&) = delete;
    GridBase& operator=(const GridBase&) = delete;

    // Replaces columns and drops every row.
    void SetColumns(std::vector<GridColumn> columns);
    int ColumnCount() const;
    GridColumn Column(int col) const;

    int RowCount() const;
    // Appends a row of empty cells (text "", number 0, list 0, colour 0); returns its index.
    int AppendRow();
    void ClearRows();

    // The displayed text: text cells their text, numbers in decimal, lists their item's text,
    // colour cells empty. Empty for a missing cell.
    std::u16string CellText(int row, int col) const;
    // Text and read-only cells take the text; number cells a whole number; list cells an item
    // text. False for a missing cell or an unsuitable text.
    bool SetCellText(int row, int col, std::u16string_view text);
    // List index or whole number; -1 for a missing cell or another kind.
    int32_t CellNumber(int row, int col) const;
    bool SetCellNumber(int row, int col, int32_t value);
    // COLORREF of a colour or state-colour cell; 0 otherwise.
    uint32_t CellColour(int row, int col) const;
    bool SetCellColour(int row, int col, uint32_t colorref);
    // A number attached to the cell and never displayed.
    int64_t CellData(int row, int col) const;
    bool SetCellData(int row, int col, int64_t value);
    // Asks the views to redraw the cell.
    void RedrawCell(int row, int col);

    // Background COLORREF of a cell when drawn; the tables apply their colour rules here.
    virtual uint32_t CellBackground(int row, int col) const;

    // Entry points of the view: a user edit, then the item-changed notification.
    bool UserSetText(int row, int col, std::u16string_view text);
    bool UserSetNumber(int row, int col, int32_t value);
    bool UserSetColour(int row, int col, uint32_t colorref);
    void UserClicked(int row, int col);

    void AddObserver(GridObserver* observer);
    // After it returns no other thread is inside the observer, so it may be destroyed.
    void RemoveObserver(GridObserver* observer);

  protected:
    // Called after a user edit, before observers hear of it, without the lock held; tables
    // apply their end-of-edit rules here.
    virtual void OnUserEdit(int /*row*/, int /*col*/) {}
    virtual void OnUserClick(int /*row*/, int /*col*/) {}
    void NotifyChanged(int row, int col);
    // For a table that replaced its columns and rows itself; call it without the lock held.
    void NotifyRowsReset();

    // Cell storage; guarded by mutex_.
    struct Cell {
        std::u16string text;
        int32_t number = 0;
        uint32_t colour = 0;
        int64_t data = 0;
    };
    const Cell* CellAt(int row, int col) const;  // caller holds mutex_
    Cell* CellAt(int row, int col);

    mutable std::recursive_mutex mutex_;
    std::vector<GridColumn> columns_;
    std::vector<std::vector<Cell>> rows_;

  private:
    // Calls every observer still registered, without the cell lock held.
    void ForEachObserver(const std::function<void(GridObserver*)>& call) const;
    mutable std::mutex observers_mutex_;
    mutable std::condition_variable observers_idle_;
    std::vector<GridObserver*> observers_;
    mutable std::vector<std::thread::id> notifying_;  // threads inside a notification
};

}  // namespace kalvo
