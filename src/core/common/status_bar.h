#pragma once
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kalvo {

// The multi-pane status bar as the core sees it. Implementations must accept calls from any
// thread.
class StatusBar {
  public:
    enum Mark { kMarkRed = 0, kMarkGreen = 1, kMarkNone = 2 };

    virtual ~StatusBar() = default;
    virtual void SetPaneText(int pane_id, std::u16string_view text) = 0;
    // A progress bar lying over the pane at pane_index.
    virtual void CreateProgress(int pane_index, int lower, int upper, int step) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual int ProgressPos() const = 0;
    virtual void StepProgress() = 0;
    virtual void RemoveProgress() = 0;
    virtual void SetPaneMark(int pane_id, Mark mark) = 0;
};

// Remembers everything; used by tests and by the command-line tools.
class RecordingStatusBar : public StatusBar {
  public:
    struct Entry {
        int pane;
        std::u16string text;
    };
    void SetPaneText(int pane_id, std::u16string_view text) override;
    void CreateProgress(int pane_index, int lower, int upper, int step) override;
    void SetProgressPos(int pos) override;
    int ProgressPos() const override;
    void StepProgress() override;
    void RemoveProgress() override;
    void SetPaneMark(int pane_id, Mark mark) override;

    std::vector<Entry> Texts() const;
    std::u16string LastText(int pane_id) const;
    bool ProgressExists() const;
    int ProgressUpper() const;
    int ProgressCreations() const;
    int ProgressSteps() const;
    std::vector<std::pair<int, Mark>> Marks() const;
    void Clear();
    // When set, every text is also written to stderr as one UTF-8 line.
    void EchoToStderr(bool on);

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> texts_;
    std::vector<std::pair<int, Mark>> marks_;
    bool progress_ = false;
    int lower_ = 0, upper_ = 0, step_ = 1, pos_ = 0;
    int creations_ = 0, steps_ = 0;
    bool echo_ = false;
};

}  // namespace kalvo
