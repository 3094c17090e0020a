#include "core/common/sample_record.h"

#include <atomic>
#include <ctime>

namespace kalvo {
namespace {
int64_t SystemNow() {
    return static_cast<int64_t>(std::time(nullptr));
}
std::atomic<int64_t (*)()> g_now{&SystemNow};
}  // namespace

int64_t NowSeconds() {
    return g_now.load()();
}
void SetNowSecondsSource(int64_t (*source)()) {
    g_now.store(source ? source : &SystemNow);
}

SampleRecord::SampleRecord() : time(NowSeconds()) {}

}  // namespace kalvo
