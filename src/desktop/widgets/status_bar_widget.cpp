#include "desktop/widgets/status_bar_widget.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>
#include <QThread>

#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

bool ValidPane(int pane) {
    return pane >= 0 && pane < CMPSBarWithProgressAndBMP::kPaneCount;
}

QPixmap MarkPixmap(StatusBar::Mark mark) {
    QPixmap pixmap(CMPSBarWithProgressAndBMP::kMarkSize, CMPSBarWithProgressAndBMP::kMarkSize);
    pixmap.fill(mark == StatusBar::kMarkRed ? QColor(255, 0, 0) : QColor(0, 255, 0));
    return pixmap;
}

// A pane's label. A text longer than the pane ends in "…" and shows whole as the tooltip;
// text() stays the whole text.
class PaneLabel : public QLabel {
  public:
    explicit PaneLabel(QWidget* parent) : QLabel(parent) {}

    void SetPaneText(const QString& text) {
        if (text == this->text()) return;
        setText(text);
        UpdateTip();
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        const QString shown = Shown();
        if (shown == text()) {
            QLabel::paintEvent(event);
            return;
        }
        QPainter painter(this);
        drawFrame(&painter);
        style()->drawItemText(&painter, contentsRect(),
                              QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                              isEnabled(), shown, foregroundRole());
    }
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        UpdateTip();
    }

  private:
    QString Shown() const {
        return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
    }
    void UpdateTip() { setToolTip(Shown() == text() ? QString() : text()); }
};

}  // namespace

CMPSBarWithProgressAndBMP::CMPSBarWithProgressAndBMP(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBar"));
    for (int i = 0; i < kPaneCount; ++i) {
        auto* pane = new PaneLabel(this);
        pane->setObjectName(QStringLiteral("pane%1").arg(i));
        pane->setFrameShape(QFrame::NoFrame);
        pane->setTextFormat(Qt::PlainText);
        auto* layout = new QHBoxLayout(pane);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* mark = new QLabel(pane);
        mark->setFixedSize(kMarkSize, kMarkSize);
        mark->hide();
        layout->addWidget(mark, 0, Qt::AlignCenter);
        panes_[size_t(i)] = pane;
        marks_[size_t(i)] = mark;
        if (i == 0) {
            // The main pane also carries the prompts of the toolbar buttons (temporary messages).
            pane->setMinimumWidth(40);
            addWidget(pane, 1);
        } else {
            pane->setFixedWidth(kPaneWidths[size_t(i)]);
            addPermanentWidget(pane, 0);
        }
    }
    panes_[0]->setText(QStringLiteral("Ready"));
    SetPaneText(0, u"Состояние");
}

CMPSBarWithProgressAndBMP::~CMPSBarWithProgressAndBMP() = default;

void CMPSBarWithProgressAndBMP::SetPaneText(int pane_id, std::u16string_view text) {
    if (!ValidPane(pane_id)) return;
    {
        std::lock_guard lock(mutex_);
        state_.texts[size_t(pane_id)] = std::u16string(text);
    }
    Changed();
}

void CMPSBarWithProgressAndBMP::CreateProgress(int pane_index, int lower, int upper, int step) {
    {
        std::lock_guard lock(mutex_);
        state_.progress = true;
        state_.progress_pane = ValidPane(pane_index) ? pane_index : 1;
        state_.lower = lower;
        state_.upper = upper < lower ? lower : upper;
        state_.step = step;
        state_.pos = lower;
    }
    Changed();
}

void CMPSBarWithProgressAndBMP::SetProgressPos(int pos) {
    {
        std::lock_guard lock(mutex_);
        if (!state_.progress) return;
        state_.pos = pos;
    }
    Changed();
}

int CMPSBarWithProgressAndBMP::ProgressPos() const {
    std::lock_guard lock(mutex_);
    return state_.pos;
}

void CMPSBarWithProgressAndBMP::StepProgress() {
    {
        std::lock_guard lock(mutex_);
        if (!state_.progress) return;
        state_.pos += state_.step;
        // Past the end the bar starts over, as the common control does.
        if (state_.pos > state_.upper) state_.pos = state_.lower + (state_.pos - state_.upper);
    }
    Changed();
}

void CMPSBarWithProgressAndBMP::RemoveProgress() {
    {
        std::lock_guard lock(mutex_);
        state_.progress = false;
    }
    Changed();
}

void CMPSBarWithProgressAndBMP::SetPaneMark(int pane_id, Mark mark) {
    if (!ValidPane(pane_id)) return;
    if (mark != kMarkRed && mark != kMarkGreen) mark = kMarkNone;
    {
        std::lock_guard lock(mutex_);
        state_.marks[size_t(pane_id)] = mark;
    }
    Changed();
}

std::u16string CMPSBarWithProgressAndBMP::PaneText(int pane_id) const {
    if (!ValidPane(pane_id)) return {};
    std::lock_guard lock(mutex_);
    return state_.texts[size_t(pane_id)];
}

StatusBar::Mark CMPSBarWithProgressAndBMP::PaneMark(int pane_id) const {
    if (!ValidPane(pane_id)) return kMarkNone;
    std::lock_guard lock(mutex_);
    return state_.marks[size_t(pane_id)];
}

bool CMPSBarWithProgressAndBMP::HasProgress() const {
    std::lock_guard lock(mutex_);
    return state_.progress;
}

QLabel* CMPSBarWithProgressAndBMP::Pane(int index) const {
    return ValidPane(index) ? panes_[size_t(index)] : nullptr;
}

QProgressBar* CMPSBarWithProgressAndBMP::Progress() const {
    return progress_ && progress_->isVisibleTo(const_cast<CMPSBarWithProgressAndBMP*>(this))
               ? progress_
               : nullptr;
}

QLabel* CMPSBarWithProgressAndBMP::MarkLabel(int pane_id) const {
    if (!ValidPane(pane_id)) return nullptr;
    QLabel* mark = marks_[size_t(pane_id)];
    return mark->isHidden() ? nullptr : mark;
}

void CMPSBarWithProgressAndBMP::Changed() {
    if (QThread::currentThread() == thread()) {
        Refresh();
        return;
    }
    if (refresh_queued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refresh_queued_.store(false);
            Refresh();
        },
        Qt::QueuedConnection);
}

void CMPSBarWithProgressAndBMP::Refresh() {
    State s;
    {
        std::lock_guard lock(mutex_);
        s = state_;
    }
    for (int i = 0; i < kPaneCount; ++i) {
        static_cast<PaneLabel*>(panes_[size_t(i)])->SetPaneText(ToQString(s.texts[size_t(i)]));
        QLabel* mark = marks_[size_t(i)];
        const Mark wanted = s.marks[size_t(i)];
        if (wanted == kMarkNone) {
            mark->hide();
        } else {
            mark->setPixmap(MarkPixmap(wanted));
            mark->show();
        }
    }
    if (!s.progress) {
        if (progress_) progress_->hide();
        return;
    }
    QLabel* pane = panes_[size_t(s.progress_pane)];
    if (!progress_ || progress_->parentWidget() != pane) {
        // The bar fills the pane, above its text.
        if (progress_) progress_->deleteLater();
        progress_ = new QProgressBar(pane);
        progress_->setObjectName(QStringLiteral("progress"));
        progress_->setTextVisible(false);
        progress_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
        pane->layout()->addWidget(progress_);
    }
    progress_->setRange(s.lower, s.upper);
    progress_->setValue(s.pos);
    progress_->raise();
    progress_->show();
}

}  // namespace kalvo
