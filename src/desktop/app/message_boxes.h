#pragma once
// Message boxes of the program as modal Qt boxes. The core's ShowMessageBox has already written
// "caption: text" to stderr before a box opens.
class QWidget;

namespace kalvo {

// Registers the Qt handler of ShowMessageBox. Boxes asked for on another thread open on the
// window thread while the caller waits.
void InstallMessageBoxes();
// Boxes from now on are owned by this window (null: the active window).
void SetMessageBoxOwner(QWidget* owner);
// Answers every open box as its Escape key would (OK, Cancel or No), so a close request never
// waits for a person.
void AnswerOpenMessageBoxes();
// The window thread stops taking events (its loop has ended): boxes of other threads, queued or
// later, are only written and answered as Escape would.
void StopMessageBoxes();
// Number of boxes open right now (window thread).
int OpenMessageBoxCount();

}  // namespace kalvo
