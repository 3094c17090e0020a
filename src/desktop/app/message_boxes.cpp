#include "desktop/app/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <future>
#include <mutex>
#include <vector>

#include "core/common/message_box.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

// Window thread only.
std::vector<QPointer<QMessageBox>> g_open;
QPointer<QWidget> g_owner;
// Whether the window thread still answers boxes. Other threads post their box while holding the
// lock, so once StopMessageBoxes has taken it every such box is already queued.
std::mutex g_taking_mutex;
bool g_taking_events = true;

bool TakingEvents() {
    std::lock_guard lock(g_taking_mutex);
    return g_taking_events;
}

BoxAnswer EscapeAnswer(BoxKind kind) {
    switch (kind) {
        case BoxKind::kOk:
            return BoxAnswer::kOk;
        case BoxKind::kOkCancel:
            return BoxAnswer::kCancel;
        case BoxKind::kYesNo:
            return BoxAnswer::kNo;
    }
    return BoxAnswer::kOk;
}

BoxAnswer ShowOnWindowThread(std::u16string_view caption, std::u16string_view text, BoxKind kind) {
    if (!TakingEvents()) return EscapeAnswer(kind);
    QWidget* owner = g_owner ? g_owner.data() : QApplication::activeWindow();
    const bool error = caption.find(u"Error") != std::u16string_view::npos;
    QMessageBox box(error ? QMessageBox::Critical : QMessageBox::Information, ToQString(caption),
                    ToQString(text), QMessageBox::NoButton, owner);
    switch (kind) {
        case BoxKind::kOk:
            box.setStandardButtons(QMessageBox::Ok);
            box.setEscapeButton(QMessageBox::Ok);
            break;
        case BoxKind::kOkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box.setEscapeButton(QMessageBox::Cancel);
            break;
        case BoxKind::kYesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setEscapeButton(QMessageBox::No);
            break;
    }
    g_open.emplace_back(&box);
    const int result = box.exec();
    std::erase_if(g_open, [&](const QPointer<QMessageBox>& p) { return !p || p == &box; });
    switch (result) {
        case QMessageBox::Ok:
            return BoxAnswer::kOk;
        case QMessageBox::Cancel:
            return BoxAnswer::kCancel;
        case QMessageBox::Yes:
            return BoxAnswer::kYes;
        case QMessageBox::No:
            return BoxAnswer::kNo;
        default:
            return EscapeAnswer(kind);
    }
}

BoxAnswer Show(std::u16string_view caption, std::u16string_view text, BoxKind kind) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return EscapeAnswer(kind);
    if (QThread::currentThread() == app->thread()) return ShowOnWindowThread(caption, text, kind);
    // Another thread waits for the window thread's answer, unless that thread has stopped
    // taking events (it may be waiting for the caller).
    std::promise<BoxAnswer> answer;
    std::future<BoxAnswer> answered = answer.get_future();
    {
        std::lock_guard lock(g_taking_mutex);
        if (!g_taking_events) return EscapeAnswer(kind);
        QMetaObject::invokeMethod(
            app,
            [&answer, c = std::u16string(caption), t = std::u16string(text), kind] {
                answer.set_value(ShowOnWindowThread(c, t, kind));
            },
            Qt::QueuedConnection);
    }
    return answered.get();
}

}  // namespace

void InstallMessageBoxes() {
    {
        std::lock_guard lock(g_taking_mutex);
        g_taking_events = true;
    }
    SetMessageBoxHandler(Show);
}

void SetMessageBoxOwner(QWidget* owner) {
    g_owner = owner;
}

void AnswerOpenMessageBoxes() {
    const auto open = g_open;
    for (const QPointer<QMessageBox>& box : open)
        if (box) box->reject();
}

void StopMessageBoxes() {
    {
        std::lock_guard lock(g_taking_mutex);
        g_taking_events = false;
    }
    // Boxes already queued by other threads are answered now, without a window.
    if (QCoreApplication* app = QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(app, QEvent::MetaCall);
}

int OpenMessageBoxCount() {
    int n = 0;
    for (const QPointer<QMessageBox>& box : g_open) n += box ? 1 : 0;
    return n;
}

}  // namespace kalvo
