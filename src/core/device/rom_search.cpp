// SEARCH ROM and the bus inventory.
#include <algorithm>
#include <set>
#include <string>

#include "core/common/messages.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

bool BitAt(const std::array<uint8_t, 8>& rom, int position) {
    const int index = position - 1;
    return (rom[size_t(index / 8)] >> (index % 8)) & 1;
}

void SetBitAt(std::array<uint8_t, 8>& rom, int position, bool value) {
    const int index = position - 1;
    const uint8_t mask = uint8_t(1u << (index % 8));
    if (value)
        rom[size_t(index / 8)] |= mask;
    else
        rom[size_t(index / 8)] &= uint8_t(~mask);
}

// The direction the search takes at position p, and the new last zero; the same rule for the
// walk on the wire and for the one predicted from known codes.
bool Direction(const std::array<uint8_t, 8>& rom, int p, bool id_bit, bool complement,
               uint8_t last_discrepancy, uint8_t& last_zero) {
    if (id_bit != complement) return id_bit;
    bool direction;
    if (p == last_discrepancy) {
        direction = true;
    } else if (p > last_discrepancy) {
        direction = false;
    } else {
        direction = BitAt(rom, p);
    }
    if (!direction) last_zero = uint8_t(p);
    return direction;
}

}  // namespace

bool COneWireBus::SearchCommand(std::vector<uint8_t>& slots) {
    std::vector<uint8_t> command;
    for (int k = 0; k < 8; ++k) command.push_back((kSearchRom >> k) & 1 ? 0xFF : 0x00);
    const std::vector<uint8_t> after = slots;
    for (int attempt = 1;; ++attempt) {
        const uint64_t failures = link_.DriverFailures();
        if (!Reset()) return false;
        bool sent;
        if (bytewise_) {
            sent = WriteByte(kSearchRom);
        } else {
            slots = command;
            slots.insert(slots.end(), after.begin(), after.end());
            sent = SlotExchange(slots) && std::equal(command.begin(), command.end(), slots.begin());
            slots.erase(slots.begin(), slots.begin() + ptrdiff_t(command.size()));
        }
        if (sent) return true;
        // A disturbed echo of the command is sent again; a line that fails is not.
        const bool line_good = last_echo_ == LineEcho::kPresence &&
                               link_.DriverFailures() == failures && link_.LastEchoComplete();
        if (!line_good || attempt >= kCommandAttempts) return false;
    }
}

int COneWireBus::PredictedStep(std::array<uint8_t, 8>& rom, uint8_t last_discrepancy,
                               uint8_t& next) {
    // The walk the known codes would take: the wired AND of those still on the path.
    std::array<uint8_t, 8> guess = rom;
    std::vector<RomCode> path = predicted_;
    std::vector<uint8_t> slots;
    std::vector<std::pair<bool, bool>> bits;
    uint8_t last_zero = 0;
    for (int p = 1; p <= 64; ++p) {
        bool any_zero = false, any_one = false;
        for (RomCode code : path) ((code >> (p - 1)) & 1 ? any_one : any_zero) = true;
        if (path.empty()) return 0;
        const bool id_bit = !any_zero, complement = !any_one;
        const bool direction = Direction(guess, p, id_bit, complement, last_discrepancy, last_zero);
        SetBitAt(guess, p, direction);
        std::erase_if(path, [&](RomCode code) { return bool((code >> (p - 1)) & 1) != direction; });
        bits.emplace_back(id_bit, complement);
        slots.insert(slots.end(), {0xFF, 0xFF, uint8_t(direction ? 0xFF : 0x00)});
    }
    if (!SearchCommand(slots)) return -1;
    for (size_t i = 0; i < bits.size(); ++i)
        if ((slots[3 * i] == 0xFF) != bits[i].first || (slots[3 * i + 1] == 0xFF) != bits[i].second)
            return 0;  // the bus is not what the codes said: walked again position by position
    rom = guess;
    next = last_zero;
    return 1;
}

uint8_t COneWireBus::SearchStep(std::array<uint8_t, 8>& rom, uint8_t last_discrepancy,
                                bool* error) {
    // Known codes (a bridge found again) predict every direction slot: the whole walk in one
    // exchange while the bus is as it was.
    if (!bytewise_ && !predicted_.empty()) {
        uint8_t next = 0;
        const int predicted = PredictedStep(rom, last_discrepancy, next);
        if (predicted > 0) return next;
        if (predicted < 0) {
            *error = true;
            return 1;
        }
    }
    // Batched, the direction slot of one position travels with the two read slots of the next:
    // one exchange per position. The command goes with the first two read slots.
    std::vector<uint8_t> slots;
    if (!bytewise_) slots.assign(2, 0xFF);
    if (!SearchCommand(slots)) {
        *error = true;
        return 1;
    }
    uint8_t last_zero = 0;
    for (int p = 1; p <= 64; ++p) {
        bool id_bit = false, complement = false;
        if (bytewise_) {
            ReadTwoBits(id_bit, complement);
        } else {
            id_bit = slots[0] == 0xFF;
            complement = slots[1] == 0xFF;
        }
        if (id_bit && complement) return kSearchNoAnswer;
        const bool direction = Direction(rom, p, id_bit, complement, last_discrepancy, last_zero);
        SetBitAt(rom, p, direction);
        if (bytewise_) {
            WriteSlot(direction ? 0xFF : 0x00);
        } else {
            slots.assign(1, direction ? 0xFF : 0x00);
            if (p < 64) slots.insert(slots.end(), {0xFF, 0xFF});
            SlotExchange(slots);  // a short echo reads as zeros, as a slot an exchange does
            slots.erase(slots.begin());
        }
    }
    return last_zero;
}

bool COneWireBus::SearchBus() {
    const bool found = SearchInventory();
    PublishInventory();
    return found;
}

bool COneWireBus::SearchInventory() {
    std::array<uint8_t, 8> rom{};
    uint8_t last_discrepancy = 0;
    bool error = false;
    thermometers_.clear();
    switches_.clear();
    if (!status_bar_) return false;

    status_bar_->CreateProgress(kPaneIndexProgress, 0, 16, 1);
    status_bar_->SetProgressPos(0);
    ShowText(kPaneMain, u"Search devices 1Wire");

    // A consistent bus never yields the same code twice in one inventory; a bus that does would
    // keep the search going round forever.
    std::set<RomCode> seen;
    do {
        if (status_bar_->ProgressPos() >= 16) status_bar_->SetProgressPos(0);
        status_bar_->StepProgress();
        last_discrepancy = SearchStep(rom, last_discrepancy, &error);
        const RomCode code = RomFromBytes(rom);
        if (error || last_discrepancy == kSearchNoAnswer || !seen.insert(code).second) {
            status_bar_->RemoveProgress();
            return false;
        }
        // A code whose CRC does not check was misread; it names no device.
        if (!RomCrcValid(code)) continue;
        const uint8_t family = FamilyOf(code);
        if (family == kFamilyDs1820 || family == kFamilyDs18b20) {
            thermometers_.push_back(code);
        } else if (family == kFamilyDs2413) {
            switches_.push_back(code);
        } else {
            continue;
        }
        ShowText(kPaneDevice, u"Found " + std::u16string(FamilyName(family)));
    } while (last_discrepancy != 0);
    status_bar_->RemoveProgress();

    if (thermometers_.empty() && switches_.empty()) return false;
    std::sort(thermometers_.begin(), thermometers_.end());
    std::sort(switches_.begin(), switches_.end());
    const size_t total = thermometers_.size() + switches_.size();
    ShowText(kPaneDevice, u"Found " + ToU16(int64_t(total)) + u" devices");
    return true;
}

bool COneWireBus::OpenBus() {
    auto& bridges = link_.Bridges();
    if (bridges.empty()) return false;
    int chosen = -1;
    FT_HANDLE handle = NOT_OPEN;
    for (size_t i = 0; i < bridges.size(); ++i) {
        if (bridges[i].flags == 1) continue;
        handle = link_.OpenByIndex(int(i));
        if (handle != NOT_OPEN) {
            chosen = int(i);
            break;
        }
    }
    open_failure_.clear();
    if (chosen < 0) {
        std::u16string serials;
        for (const FtDevice& bridge : bridges) {
            if (!serials.empty()) serials += u", ";
            serials += bridge.SerialText();
        }
        open_failure_ = OpenFailureText(serials, link_.LastOpenFailure());
        return false;
    }
    selected_ = chosen;
    if (!SearchBus()) {
        link_.CloseBridge(handle);
        selected_ = -1;
        return false;
    }
    open_serial_ = bridges[size_t(chosen)].SerialText();
    return true;
}

bool COneWireBus::Reopen() {
    if (open_serial_.empty()) return false;
    link_.ForgetHandle(SelectedHandle());
    selected_ = -1;
    pending_reset_ = judge_pending_ = pending_unanswered_ = false;
    auto& bridges = link_.Bridges();
    bridges.clear();
    if (!ListBridges(false)) return false;
    int index = -1;
    for (size_t i = 0; i < bridges.size() && index < 0; ++i)
        if (bridges[i].SerialText() == open_serial_) index = int(i);
    if (index < 0) return false;
    const FT_HANDLE handle = link_.OpenByIndex(index);
    if (handle == NOT_OPEN) return false;
    selected_ = index;

    // A search that fails (the line still held low, say) must not leave the pass without its
    // thermometers: the bridge's bus keeps the list it had, and the passes tell what is wrong.
    const std::vector<RomCode> thermometers = thermometers_, switches = switches_;
    // The codes from before predict the walk, so the inventory costs little while the bus is
    // as it was. A device a search missed (a disturbed bit) is looked for again at once: every
    // code read with a good CRC in any of the searches is on the bus.
    predicted_ = thermometers;
    predicted_.insert(predicted_.end(), switches.begin(), switches.end());
    std::set<RomCode> found;
    bool searched = false;
    for (int i = 0; i < kReopenSearches; ++i) {
        if (SearchInventory()) {
            searched = true;
            found.insert(thermometers_.begin(), thermometers_.end());
            found.insert(switches_.begin(), switches_.end());
        }
        if (std::all_of(predicted_.begin(), predicted_.end(),
                        [&](RomCode code) { return found.count(code) != 0; }))
            break;
    }
    predicted_.clear();
    if (searched) {
        thermometers_.clear();
        switches_.clear();
        for (RomCode code : found)  // in order, as each search sorts its lists
            (FamilyOf(code) == kFamilyDs2413 ? switches_ : thermometers_).push_back(code);
    } else {
        thermometers_ = thermometers;
        switches_ = switches;
    }
    PublishInventory();
    stuck_.clear();
    suspects_.clear();
    holder_unlisted_ = false;
    PublishStuck();
    failed_passes_ = 0;
    fault_ = int(BusFault::kNone);
    last_failure_ = int(BusFault::kNone);
    return true;
}

}  // namespace kalvo
