#include "core/engine/pass_recorder.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace kalvo {
namespace {

void Say(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace

PassRecorder::PassRecorder(std::string root, SHELL::FileOps& ops, Clock& clock)
    : recordable_(!root.empty()), appender_(std::move(root), ops, clock) {}

AppendResult PassRecorder::Record(SampleList& passes, uint32_t thermometers) {
    SampleList records;
    records.swap(passes);
    if (!recordable_) return {AppendResult::kNoFolder};
    if (!kept_.empty()) {
        kept_.insert(kept_.end(), std::make_move_iterator(records.begin()),
                     std::make_move_iterator(records.end()));
        records.swap(kept_);
        kept_.clear();
    }
    if (records.empty()) return {AppendResult::kWritten};
    const AppendResult result = appender_.Append(records, thermometers);
    if (result.cut > 0) {
        Say("Day file " + appender_.day_file() + ": a torn record of " +
            std::to_string(result.cut) + " bytes was cut off before the append");
    }
    if (result.ok()) {
        if (failing_) Say("Day file " + appender_.day_file() + ": written again");
        failing_ = false;
        kept_count_.store(0);
        return result;
    }
    if (!failing_) {
        Say("Day file " + appender_.day_file() +
            ": the append failed; the passes are kept for the next one");
    }
    failing_ = true;
    Keep(std::move(records), thermometers);
    return result;
}

void PassRecorder::Keep(SampleList&& records, uint32_t thermometers) {
    const size_t limit = kKeptPasses * std::max<size_t>(thermometers, 1);
    if (records.size() > limit) {
        // The oldest go, and with them the rest of the pass the cut falls into.
        size_t cut = records.size() - limit;
        while (cut < records.size() && records[cut].time == records[cut - 1].time) ++cut;
        records.erase(records.begin(), records.begin() + std::ptrdiff_t(cut));
    }
    kept_ = std::move(records);
    kept_count_.store(kept_.size());
}

void PassRecorder::Drop() {
    kept_.clear();
    kept_count_.store(0);
}

bool PassRecorder::Flush() {
    return appender_.Flush();
}

}  // namespace kalvo
