#include "core/common/status_bar.h"

#include <cstdio>

#include "core/common/text.h"

namespace kalvo {

void RecordingStatusBar::SetPaneText(int pane_id, std::u16string_view text) {
    std::lock_guard lock(mutex_);
    texts_.push_back({pane_id, std::u16string(text)});
    if (echo_) std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
}
void RecordingStatusBar::CreateProgress(int, int lower, int upper, int step) {
    std::lock_guard lock(mutex_);
    progress_ = true;
    lower_ = lower;
    upper_ = upper;
    step_ = step;
    pos_ = lower;
    ++creations_;
}
void RecordingStatusBar::SetProgressPos(int pos) {
    std::lock_guard lock(mutex_);
    if (progress_) pos_ = pos;
}
int RecordingStatusBar::ProgressPos() const {
    std::lock_guard lock(mutex_);
    return pos_;
}
void RecordingStatusBar::StepProgress() {
    std::lock_guard lock(mutex_);
    if (!progress_) return;
    ++steps_;
    pos_ += step_;
    if (pos_ > upper_) pos_ = lower_ + (pos_ - upper_);  // wraps like the common control
}
void RecordingStatusBar::RemoveProgress() {
    std::lock_guard lock(mutex_);
    progress_ = false;
}
void RecordingStatusBar::SetPaneMark(int pane_id, Mark mark) {
    std::lock_guard lock(mutex_);
    marks_.emplace_back(pane_id, mark);
}
std::vector<RecordingStatusBar::Entry> RecordingStatusBar::Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
}
std::u16string RecordingStatusBar::LastText(int pane_id) const {
    std::lock_guard lock(mutex_);
    for (auto it = texts_.rbegin(); it != texts_.rend(); ++it)
        if (it->pane == pane_id) return it->text;
    return u"";
}
bool RecordingStatusBar::ProgressExists() const {
    std::lock_guard lock(mutex_);
    return progress_;
}
int RecordingStatusBar::ProgressUpper() const {
    std::lock_guard lock(mutex_);
    return upper_;
}
int RecordingStatusBar::ProgressCreations() const {
    std::lock_guard lock(mutex_);
    return creations_;
}
int RecordingStatusBar::ProgressSteps() const {
    std::lock_guard lock(mutex_);
    return steps_;
}
std::vector<std::pair<int, StatusBar::Mark>> RecordingStatusBar::Marks() const {
    std::lock_guard lock(mutex_);
    return marks_;
}
void RecordingStatusBar::Clear() {
    std::lock_guard lock(mutex_);
    texts_.clear();
    marks_.clear();
    creations_ = steps_ = 0;
}
void RecordingStatusBar::EchoToStderr(bool on) {
    std::lock_guard lock(mutex_);
    echo_ = on;
}

}  // namespace kalvo
