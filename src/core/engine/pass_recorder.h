#pragma once
// Completed passes on their way to the day file: one append per pass, made by the thread that
// measured it, so a pass is in the file before its cycle ends and a killed program loses none.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/archive/day_archive.h"
#include "core/common/clock.h"
#include "core/common/file_ops.h"
#include "core/common/sample_record.h"

namespace kalvo {

// Records an append refused (the day file held elsewhere for a moment, a full disk) are kept and
// go in front of the next pass, the newest kKeptPasses passes at most. One thread at a time: the
// worker while it runs, the window thread after it has been joined.
class PassRecorder {
  public:
    static constexpr size_t kKeptPasses = 1000;

    // An empty root records nothing and keeps nothing.
    PassRecorder(std::string root, SHELL::FileOps& ops, Clock& clock = SystemClock());
    PassRecorder(const PassRecorder&) = delete;
    PassRecorder& operator=(const PassRecorder&) = delete;

    // Appends the kept records and then `passes` (whole passes; taken, left empty).
    // `thermometers` goes into a new file's header.
    AppendResult Record(SampleList& passes, uint32_t thermometers);
    // Recording is off: what was kept will never be written.
    void Drop();
    // Puts what was appended since the last sync on the disk; true when nothing is left unsynced.
    bool Flush();
    // Records waiting for the next append; any thread.
    size_t KeptCount() const { return kept_count_.load(); }

  private:
    void Keep(SampleList&& records, uint32_t thermometers);

    bool recordable_;
    DayFileAppender appender_;
    SampleList kept_;
    std::atomic<size_t> kept_count_{0};
    bool failing_ = false;  // the last append failed; said once on stderr
};

}  // namespace kalvo
