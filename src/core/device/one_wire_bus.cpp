#include "core/device/one_wire_bus.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/common/messages.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

constexpr ULONG kResetBaud = 9600;
constexpr ULONG kSlotBaud = 115200;
constexpr uint8_t kResetPattern = 0xF0;
// Echo bytes in one USB packet, and the most read slots worth adding to fill one: beyond that
// the slots take longer than the latency timer would.
constexpr size_t kPacketBytes = 62;
constexpr size_t kMaxPadSlots = size_t(CFtLink::kLatencyMs) * kSlotBaud / 10000;

bool BytewiseFromEnvironment() {
    const char* value = std::getenv("KALVO_BUS");
    return value && std::string_view(value) == "bytewise";
}

// Driver strings come in fixed 8-bit buffers that need not be terminated.
void CopyDriverText(const char* source, size_t source_size, char16_t* field, size_t field_size) {
    const std::u16string wide =
        WidenAnsi(std::string_view(source, strnlen(source, source_size - 1)));
    const std::vector<char16_t> fixed = ToFixedField(wide, field_size);
    std::memcpy(field, fixed.data(), field_size * sizeof(char16_t));
}

}  // namespace

COneWireBus::COneWireBus(const D2xxApi& api) : link_(api), bytewise_(BytewiseFromEnvironment()) {}

COneWireBus::~COneWireBus() {
    if (pending_reset_ && SelectedHandle() != NOT_OPEN) Reset();
}

std::u16string COneWireBus::OpenFailureText(std::u16string_view serials, FT_STATUS status) {
    // Appended piece by piece: chains of + trip GCC's -Wrestrict at -O3.
    std::u16string text = u"FT232R ";
    text.append(serials);
    text.append(u" found but not opened (driver status ");
    text.append(Utf8ToUtf16(std::to_string(status)));
    text.append(
        u"): another program may hold it, the user may lack access to it, or the "
        u"kernel's ftdi_sio holds it");
    return text;
}

FT_HANDLE COneWireBus::SelectedHandle() const {
    if (selected_ < 0 || size_t(selected_) >= link_.Bridges().size()) return NOT_OPEN;
    return link_.Bridges()[size_t(selected_)].handle;
}

void COneWireBus::ShowText(int pane_id, std::u16string_view text) {
    if (status_bar_) status_bar_->SetPaneText(pane_id, text);
}

bool COneWireBus::Reset() {
    const FT_HANDLE handle = SelectedHandle();
    const uint64_t failures = link_.DriverFailures();
    if (handle != NOT_OPEN && (bytewise_ || link_.BaudRate() != kResetBaud))
        link_.SetBaudRate(handle, kResetBaud);
    // A reset left over from the transaction before goes first; its echo tells nothing, unless
    // that transaction asks whether anybody answered it.
    std::vector<uint8_t> buffer(pending_reset_ ? 2 : 1, kResetPattern);
    const bool judge = pending_reset_ && judge_pending_;
    pending_reset_ = judge_pending_ = false;
    const bool complete = link_.Exchange(handle, buffer);
    if (judge && buffer.front() == kResetPattern) pending_unanswered_ = true;
    if (handle != NOT_OPEN && bytewise_) link_.SetBaudRate(handle, kSlotBaud);
    if (!complete || link_.DriverFailures() != failures)
        last_echo_ = LineEcho::kLost;
    else if (buffer.back() == 0x00)
        last_echo_ = LineEcho::kLow;
    else if (buffer.back() == kResetPattern)
        last_echo_ = LineEcho::kNobody;
    else
        last_echo_ = LineEcho::kPresence;
    // A line held low or an echo that never came counts as an answer here; the pass tells
    // them apart from the echo kept above.
    return buffer.back() != kResetPattern;
}

bool COneWireBus::SlotExchange(std::vector<uint8_t>& buffer) {
    if (pending_reset_) Reset();
    const FT_HANDLE handle = SelectedHandle();
    if (!bytewise_ && handle != NOT_OPEN && link_.BaudRate() != kSlotBaud)
        link_.SetBaudRate(handle, kSlotBaud);
    return link_.Exchange(handle, buffer);
}

bool COneWireBus::WriteByte(uint8_t value) {
    std::vector<uint8_t> buffer(8);
    for (int k = 0; k < 8; ++k) buffer[size_t(k)] = (value >> k) & 1 ? 0xFF : 0x00;
    const std::vector<uint8_t> sent = buffer;
    SlotExchange(buffer);
    return buffer == sent;
}

uint8_t COneWireBus::ReadByte() {
    std::vector<uint8_t> buffer(8, 0xFF);
    SlotExchange(buffer);
    uint8_t value = 0;
    for (int k = 0; k < 8; ++k)
        if (buffer[size_t(k)] == 0xFF) value |= uint8_t(1u << k);
    return value;
}

void COneWireBus::ReadTwoBits(bool& first, bool& second) {
    first = WriteSlot(0xFF) == 0xFF;
    second = WriteSlot(0xFF) == 0xFF;
}

uint8_t COneWireBus::WriteSlot(uint8_t pattern) {
    std::vector<uint8_t> buffer{pattern};
    SlotExchange(buffer);
    return buffer[0];
}

size_t COneWireBus::Send(std::span<const uint8_t> writes, std::span<uint8_t> reads, bool pad) {
    if (bytewise_) {
        for (size_t i = 0; i < writes.size(); ++i)
            if (!WriteByte(writes[i])) return i;
        for (uint8_t& byte : reads) byte = ReadByte();
        return writes.size();
    }
    std::vector<uint8_t> buffer;
    buffer.reserve(8 * (writes.size() + reads.size()) + kPacketBytes);
    for (const uint8_t value : writes)
        for (int k = 0; k < 8; ++k) buffer.push_back((value >> k) & 1 ? 0xFF : 0x00);
    buffer.resize(buffer.size() + 8 * reads.size(), 0xFF);
    // Slots after the transaction's own cost less than the wait for a packet that is not full.
    const size_t partial = buffer.size() % kPacketBytes;
    if (pad && partial && kPacketBytes - partial <= kMaxPadSlots)
        buffer.resize(buffer.size() + kPacketBytes - partial, 0xFF);
    const std::vector<uint8_t> sent = buffer;
    // A short echo fails at the first byte, as it does a byte an exchange: every command has a
    // one in its last slots.
    if (!SlotExchange(buffer)) return 0;
    for (size_t i = 0; i < writes.size(); ++i)
        if (!std::equal(buffer.begin() + ptrdiff_t(8 * i), buffer.begin() + ptrdiff_t(8 * i + 8),
                        sent.begin() + ptrdiff_t(8 * i)))
            return i;
    for (size_t j = 0; j < reads.size(); ++j) {
        uint8_t value = 0;
        for (size_t k = 0; k < 8; ++k)
            if (buffer[8 * (writes.size() + j) + k] == 0xFF) value |= uint8_t(1u << k);
        reads[j] = value;
    }
    return writes.size();
}

bool COneWireBus::Transaction(RomCode code, std::initializer_list<uint8_t> body,
                              std::span<uint8_t> reads, bool pad) {
    std::vector<uint8_t> writes;
    writes.push_back(code ? kMatchRom : kSkipRom);
    if (code)
        for (int i = 0; i < 8; ++i) writes.push_back(RomByte(code, i));
    const size_t command_bytes = writes.size() + 1;
    writes.insert(writes.end(), body.begin(), body.end());
    for (int attempt = 1;; ++attempt) {
        const uint64_t failures = link_.DriverFailures();
        if (!Reset()) return false;
        if (std::exchange(pending_unanswered_, false)) return false;
        sent_ms_ = clock_->NowMs();
        const size_t passed = Send(writes, reads, pad);
        if (passed == writes.size()) return true;
        // Only a disturbed echo is worth another go: a line that is low, lost or failing
        // answers the same way again.
        const bool line_good = last_echo_ == LineEcho::kPresence &&
                               link_.DriverFailures() == failures && link_.LastEchoComplete();
        if (passed >= command_bytes || !line_good || attempt >= kCommandAttempts) return false;
    }
}

bool COneWireBus::MatchRom(RomCode code) {
    if (!WriteByte(kMatchRom)) return false;
    for (int i = 0; i < 8; ++i)
        if (!WriteByte(RomByte(code, i))) return false;
    return true;
}

bool COneWireBus::SearchBridges() {
    return ListBridges(true);
}

bool COneWireBus::ListBridges(bool show) {
    const D2xxApi& api = link_.Api();
    StatusBar* const bar = show ? status_bar_ : nullptr;
    auto text = [bar](std::u16string_view t) {
        if (bar) bar->SetPaneText(kPaneMain, t);
    };
    DWORD count = 0;
    if (api.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK || count == 0) {
        text(u"Device search FT232R failed");
        return false;
    }
    if (bar) {
        bar->CreateProgress(kPaneIndexProgress, 0, 5, 1);
        bar->SetProgressPos(0);
        bar->StepProgress();
    }
    text(u"Searching device FT232R");
    auto step = [bar] {
        if (bar) bar->StepProgress();
    };
    open_failure_.clear();
    std::u16string unopened;  // serial numbers of bridges the driver lists but will not open
    FT_STATUS refusal = FT_OK;
    for (DWORD i = 0; i < count; ++i) {
        FT_HANDLE handle = NOT_OPEN;
        if (const FT_STATUS status = api.Open(int(i), &handle); status != FT_OK) {
            char serial[16] = {};
            api.ListDevices(reinterpret_cast<void*>(uintptr_t(i)), serial,
                            FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
            char16_t text[16] = {};
            CopyDriverText(serial, sizeof serial, text, 16);
            if (!unopened.empty()) unopened += u", ";
            if (text[0]) {
                unopened.append(text);
            } else {
                unopened.push_back(u'#');
                unopened.append(Utf8ToUtf16(std::to_string(i)));
            }
            refusal = status;
            continue;
        }
        ULONG type = 0;
        DWORD id = 0;
        char serial[16] = {};
        char description[64] = {};
        const bool is_232r =
            api.GetDeviceInfo(handle, &type, &id, serial, description, nullptr) == FT_OK &&
            type == FT_DEVICE_232R;
        api.Close(handle);
        if (!is_232r) continue;

        void* const index = reinterpret_cast<void*>(uintptr_t(i));
        FtDevice record;
        std::memset(description, 0, sizeof description);
        if (api.ListDevices(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK)
            continue;
        step();
        std::memset(serial, 0, sizeof serial);
        if (api.ListDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK)
            continue;
        step();
        CopyDriverText(description, sizeof description, record.description, 64);
        CopyDriverText(serial, sizeof serial, record.serial, 16);
        record.flags = 0;
        record.handle = NOT_OPEN;
        record.type = FT_DEVICE_232R;
        record.driver_index = int(i);
        link_.Bridges().push_back(record);
        step();
    }
    if (bar) bar->RemoveProgress();

    if (!link_.Bridges().empty()) {
        text(u"Device search FT232R completed successfully");
        return true;
    }
    if (!unopened.empty()) open_failure_ = OpenFailureText(unopened, refusal);
    text(u"Device search FT232R failed");
    return false;
}

}  // namespace kalvo
