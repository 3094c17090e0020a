// Arbitrary bytes as a settings file: applying them must fail cleanly or succeed, never crash.
// Most inputs are re-sealed with a correct check byte so the parser is reached at all. Whatever
// was applied must then save and load back to the same file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/device/rom_code.h"
#include "core/engine/fake_peer.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"

namespace {

using kalvo::testing_util::FakePeer;

// What an applied image may leave in the peer: a period within the limits, no negative corner.
void CheckApplied(const FakePeer& peer) {
    if (peer.period < kalvo::kPeriodMin || peer.period > kalvo::kPeriodMax) std::abort();
    const kalvo::WindowRect& r = peer.rect;
    if (r.left < 0 || r.top < 0 || r.right < 0 || r.bottom < 0) std::abort();
}

// Devices whose serials a crafted input may name ("28", "128", "3a").
void Fill(kalvo::GridKalvo& t, kalvo::GridSw& s) {
    t.Fill(std::vector<kalvo::RomCode>{0x28, 0x128});
    s.Fill(std::vector<kalvo::RomCode>{0x3A});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> image(data, data + size);
    if (!image.empty() && (image[0] & 1) == 0)
        image.back() = kalvo::Crc8(image.data(), image.size() - 1, 0xFF);

    FakePeer peer;
    kalvo::GridKalvo t;
    kalvo::GridSw s;
    Fill(t, s);
    kalvo::ApplySettingsImage(image, peer, t, s);
    CheckApplied(peer);

    const std::vector<uint8_t> saved = kalvo::BuildSettingsImage(peer, t, s);
    FakePeer again;
    kalvo::GridKalvo t2;
    kalvo::GridSw s2;
    Fill(t2, s2);
    if (!kalvo::ApplySettingsImage(saved, again, t2, s2)) std::abort();
    if (kalvo::BuildSettingsImage(again, t2, s2) != saved) std::abort();
    return 0;
}
