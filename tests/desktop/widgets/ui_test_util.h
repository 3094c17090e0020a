#pragma once
// Driving a property grid as a user would: clicks on cells, typing into the in-place editor.
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/widgets/frame_link.h"
#include "desktop/widgets/property_grid.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo::testing_ui {

// Runs what the event loop would: posted events, then deferred deletions (closed editors).
inline void Pump() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline QPoint CellCentre(PropertyGrid& view, int row, int col) {
    view.scrollTo(view.Model()->index(row, col));
    return view.CellRect(row, col).center();
}

inline void ClickCell(PropertyGrid& view, int row, int col) {
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, CellCentre(view, row, col));
    Pump();
}

inline void DoubleClickCell(PropertyGrid& view, int row, int col) {
    const QPoint at = CellCentre(view, row, col);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, at);
    Pump();
}

// Types text into a widget one character at a time, as a keyboard with any layout would
// (QTest's own typing knows only ASCII).
inline void TypeText(QWidget* widget, const QString& text) {
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(widget, &release);
    }
}

// The open in-place editor of the kind, or null.
template <class Editor>
Editor* OpenEditor(PropertyGrid& view) {
    for (Editor* e : view.viewport()->findChildren<Editor*>())
        if (e->isVisible()) return e;
    return nullptr;
}

// Clicks the cell, replaces the editor's text and commits it with Enter. False when no line
// editor opened.
inline bool TypeIntoCell(PropertyGrid& view, int row, int col, const std::u16string& text) {
    ClickCell(view, row, col);
    QLineEdit* edit = OpenEditor<QLineEdit>(view);
    if (!edit) return false;
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    TypeText(edit, ToQString(text));
    QTest::keyClick(edit, Qt::Key_Return);
    Pump();
    return true;
}

// Colour of a cell as the screen shows it, taken inside its top-left corner: within the focus
// frame and before the text.
inline QRgb CellPixel(PropertyGrid& view, int row, int col) {
    const QRect r = view.CellRect(row, col);
    const QImage image = view.viewport()->grab().toImage();
    return image.pixel(r.left() + 2, r.top() + 2) | 0xFF000000u;
}

inline QRgb ToQRgb(uint32_t colorref) {
    return qRgb(colorref & 0xFF, (colorref >> 8) & 0xFF, (colorref >> 16) & 0xFF);
}

// The main frame as the pages see it. The engine's threads post too: the record is guarded.
class FakeFrame : public FrameLink {
  public:
    using Post = std::array<int64_t, 3>;  // message, wParam, lParam
    void PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
        std::lock_guard lock(mutex_);
        posts_.push_back({int64_t(message), int64_t(wparam), int64_t(lparam)});
    }
    // The frame's own commands; a page never calls them.
    void StartCommand() { ++starts; }
    void HideToTray() { ++hides; }
    void HideMainWindow() override { ++window_hides; }
    QRect MainWindowRect() const override { return rect; }
    void MoveMainWindow(const QRect& r) override { rect = r; }

    // What was posted so far, in order.
    std::vector<Post> Posts() const {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    void ClearPosts() {
        std::lock_guard lock(mutex_);
        posts_.clear();
    }

    int starts = 0;
    int hides = 0;
    int window_hides = 0;
    QRect rect{10, 20, 800, 600};

  private:
    mutable std::mutex mutex_;
    std::vector<Post> posts_;
};

}  // namespace kalvo::testing_ui
