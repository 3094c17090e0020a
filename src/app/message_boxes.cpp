#include "app/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <vector>

#include "common/message_box.h"
#include "ui/qt_text.h"

namespace kalvo {
namespace {

// Window thread only.
std::vector<QPointer<QMessageBox>> g_open;
QPointer<QWidget> g_owner;
std::atomic<bool> g_taking_events{true};

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
    // taking events (the caller may then be what it waits for).
    if (!g_taking_events.load()) return EscapeAnswer(kind);
    BoxAnswer answer = EscapeAnswer(kind);
    const std::u16string c(caption), t(text);
    QMetaObject::invokeMethod(
        app, [&] { answer = ShowOnWindowThread(c, t, kind); }, Qt::BlockingQueuedConnection);
    return answer;
}

}  // namespace

void InstallMessageBoxes() {
    g_taking_events.store(true);
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
    g_taking_events.store(false);
}

int OpenMessageBoxCount() {
    int n = 0;
    for (const QPointer<QMessageBox>& box : g_open) n += box ? 1 : 0;
    return n;
}

}  // namespace kalvo
