#include "desktop/widgets/property_grid.h"

#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "desktop/widgets/colour_dialog.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

QColor FromColorref(uint32_t c) {
    return QColor(RedOf(c), GreenOf(c), BlueOf(c));
}

CellKind KindOf(const QModelIndex& index) {
    return CellKind(index.data(GridModel::kKindRole).toInt());
}

}  // namespace

// Paints cells from the table's colour rule and opens the editor that fits the cell kind.
class PropertyGrid::Delegate : public QStyledItemDelegate {
  public:
    explicit Delegate(PropertyGrid* view) : QStyledItemDelegate(view), view_(view) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        switch (KindOf(index)) {
            case CellKind::kText: {
                auto* edit = new QLineEdit(parent);
                edit->setFrame(false);
                return edit;
            }
            case CellKind::kNumber: {
                auto* edit = new QLineEdit(parent);
                edit->setFrame(false);
                // A sign and digits; what does not fit 32 bits is refused on commit.
                edit->setValidator(new QRegularExpressionValidator(
                    QRegularExpression(QStringLiteral("-?[0-9]{0,10}")), edit));
                return edit;
            }
            case CellKind::kList: {
                auto* box = new QComboBox(parent);
                for (const auto& item : view_->Grid().Column(index.column()).items)
                    box->addItem(ToQString(item));
                auto* self = const_cast<Delegate*>(this);
                connect(box, &QComboBox::activated, self, [self, box](int) {
                    emit self->commitData(box);
                    emit self->closeEditor(box);
                });
                return box;
            }
            default:
                return nullptr;
        }
    }

    // Loads the editor once. The view calls this again when the cell changes under an open
    // editor (the measurement thread redraws cells while the user types); what the user has
    // typed must not be replaced then.
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (editor->property(kLoaded).toBool()) return;
        editor->setProperty(kLoaded, true);
        if (auto* box = qobject_cast<QComboBox*>(editor)) {
            box->setCurrentIndex(index.data(Qt::EditRole).toInt());
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            edit->setText(index.data(Qt::EditRole).toString());
            edit->selectAll();
        }
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        if (auto* box = qobject_cast<QComboBox*>(editor))
            model->setData(index, box->currentIndex(), Qt::EditRole);
        else if (auto* edit = qobject_cast<QLineEdit*>(editor))
            model->setData(index, edit->text(), Qt::EditRole);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group =
            (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
        const CellKind kind = KindOf(index);

        // A selected row is drawn in the selection colours; colour cells keep a swatch so the
        // colour stays visible.
        const QColor background = selected ? option.palette.color(group, QPalette::Highlight)
                                           : index.data(Qt::BackgroundRole).value<QColor>();
        painter->fillRect(option.rect, background);
        if (selected && (kind == CellKind::kColour || kind == CellKind::kStateColour)) {
            const QRect swatch = option.rect.adjusted(3, 3, -4, -4);
            painter->fillRect(swatch, FromColorref(index.data(GridModel::kColourRole).toUInt()));
            painter->setPen(option.palette.color(group, QPalette::HighlightedText));
            painter->drawRect(swatch);
        }

        const QString text = index.data(Qt::DisplayRole).toString();
        if (!text.isEmpty()) {
            // Dark cells (the executed part of a scenario) get light text.
            const bool dark = qGray(background.rgb()) < 128;
            painter->setPen(selected ? option.palette.color(group, QPalette::HighlightedText)
                            : dark   ? QColor(Qt::white)
                                     : QColor(Qt::black));
            const QRect area = option.rect.adjusted(4, 0, -3, 0);
            painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                              option.fontMetrics.elidedText(text, Qt::ElideRight, area.width()));
        }

        if (option.state & QStyle::State_HasFocus) {
            QPen pen(selected ? option.palette.color(group, QPalette::HighlightedText)
                              : option.palette.color(group, QPalette::Highlight));
            pen.setStyle(Qt::DotLine);
            painter->setPen(pen);
            painter->drawRect(option.rect.adjusted(1, 1, -2, -2));
        }
        painter->restore();
    }

    // A cell whose text does not fit shows it whole as a tooltip, above the row's own tip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() != QEvent::ToolTip) {
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        }
        QString tip;
        const QString text = index.data(Qt::DisplayRole).toString();
        if (!text.isEmpty() && option.fontMetrics.horizontalAdvance(text) > option.rect.width() - 7)
            tip = text;
        const QString row_tip = index.data(Qt::ToolTipRole).toString();
        if (!row_tip.isEmpty())
            tip += (tip.isEmpty() ? QString() : QStringLiteral("\n\n")) + row_tip;
        if (!tip.isEmpty())
            QToolTip::showText(event->globalPos(), tip, view, option.rect);
        else
            QToolTip::hideText();
        return true;
    }

  private:
    static constexpr const char* kLoaded = "kalvoEditorLoaded";
    PropertyGrid* view_;
};

PropertyGrid::PropertyGrid(GridBase& grid, QWidget* parent)
    : QTableView(parent), model_(new GridModel(grid, this)) {
    setModel(model_);
    setItemDelegate(new Delegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Clicks start the editor themselves (after the click notification); keys start it too.
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setAlternatingRowColors(false);

    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(8);

    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        ApplyColumns();
        FitToContent(0, model_->columnCount() - 1);
    });
    connect(model_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to) {
                FitToContent(from.column(), to.column());
            });
    connect(header, &QHeaderView::sectionResized, this, [this](int section, int, int) {
        if (!fitting_ && section >= 0 && section < int(user_sized_.size()))
            user_sized_[size_t(section)] = true;
    });
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { OnClicked(index); });
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { OnDoubleClicked(index); });
    ApplyColumns();
}

PropertyGrid::~PropertyGrid() = default;

void PropertyGrid::ApplyColumns() {
    // Widths come from the table once per column set; later resets (rows added) keep what the
    // user dragged. They are scaled to the font, and a header still wider than its column
    // widens it, so that cells and headers stay readable.
    const int count = model_->columnCount();
    if (count == applied_columns_) return;
    QHeaderView* header = horizontalHeader();
    const QFontMetrics metrics(header->font());
    const double scale = ColumnScale();
    fitting_ = true;
    for (int c = 0; c < count; ++c) {
        const GridColumn column = Grid().Column(c);
        const int text = metrics.horizontalAdvance(ToQString(column.header)) + 12;
        header->resizeSection(c, std::max(int(column.width * scale + 0.5), text));
    }
    fitting_ = false;
    user_sized_.assign(size_t(count), false);
    applied_columns_ = count;
}

void PropertyGrid::FitToContent(int first, int last) {
    const int columns = std::min(model_->columnCount(), int(user_sized_.size()));
    const int rows = model_->rowCount();
    const QFontMetrics metrics(font());
    for (int c = std::max(first, 0); c <= last && c < columns; ++c) {
        if (model_->KindAt(c) != CellKind::kReadOnlyText || user_sized_[size_t(c)]) continue;
        int widest = 0;
        for (int r = 0; r < rows; ++r)
            widest = std::max(
                widest, metrics.horizontalAdvance(model_->data(model_->index(r, c)).toString()));
        // The cell's text margins (4 and 3 pixels) and one to spare.
        const int needed = widest + 8;
        if (needed <= columnWidth(c)) continue;
        fitting_ = true;
        horizontalHeader()->resizeSection(c, needed);
        fitting_ = false;
    }
}

double PropertyGrid::ColumnScale() const {
    // The tables' widths are laid out for digits 6 pixels wide.
    const int digits = fontMetrics().horizontalAdvance(QStringLiteral("0123456789"));
    return std::max(1.0, digits / 60.0);
}

void PropertyGrid::SetListBackground(uint32_t colorref) {
    QPalette p = palette();
    p.setColor(QPalette::Base, FromColorref(colorref));
    setPalette(p);
}

QRect PropertyGrid::CellRect(int row, int col) const {
    return visualRect(model_->index(row, col));
}

bool PropertyGrid::ChooseCellColour(int row, int col) {
    if (model_->KindAt(col) != CellKind::kColour || row < 0 || row >= model_->rowCount())
        return false;
    const std::optional<uint32_t> chosen = ChooseColour(window(), Grid().CellColour(row, col));
    if (!chosen) return false;
    return model_->setData(model_->index(row, col), uint(*chosen), GridModel::kColourRole);
}

void PropertyGrid::OnClicked(const QModelIndex& index) {
    if (!index.isValid()) return;
    const int row = index.row();
    const int col = index.column();
    Grid().UserClicked(row, col);
    if (model_->Notify(kNotifyCellClicked, row, col) != 0) return;
    if (GridModel::IsEditableKind(model_->KindAt(col))) edit(index);
}

void PropertyGrid::OnDoubleClicked(const QModelIndex& index) {
    if (index.isValid()) ChooseCellColour(index.row(), index.column());
}

void PropertyGrid::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    const bool opens = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                       event->key() == Qt::Key_F2 || event->key() == Qt::Key_Space;
    if (opens && state() != QAbstractItemView::EditingState && current.isValid()) {
        const CellKind kind = model_->KindAt(current.column());
        if (kind == CellKind::kColour) {
            ChooseCellColour(current.row(), current.column());
            event->accept();
            return;
        }
        if (GridModel::IsEditableKind(kind) && event->key() != Qt::Key_Space) {
            edit(current);
            event->accept();
            return;
        }
    }
    QTableView::keyPressEvent(event);
}

QSize PropertyGrid::sizeHint() const {
    int width = 2 * frameWidth();
    for (int c = 0; c < model_->columnCount(); ++c) width += columnWidth(c);
    const int rows = std::clamp(model_->rowCount(), 3, 8);
    const int height = 2 * frameWidth() + horizontalHeader()->sizeHint().height() +
                       rows * verticalHeader()->defaultSectionSize();
    return QSize(std::min(width, 640), height);
}

}  // namespace kalvo
