#include "core/engine/file_setting.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/device/rom_code.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"

namespace kalvo {
namespace {

constexpr char16_t kHeader[] = u"KALVO_USB_V3xx";
constexpr char16_t kThermometersYes[] = u"SECTION_KALVOM_YES";
constexpr char16_t kThermometersNo[] = u"SECTION_KALVOM_NO";
constexpr char16_t kSwitchesYes[] = u"SECTION_SWITCH_YES";
constexpr char16_t kSwitchesNo[] = u"SECTION_SWITCH_NO";

// Field sizes in UTF-16 units, terminator included.
constexpr size_t kSerialUnits = 17;
constexpr size_t kNameFieldUnits = 32;
constexpr size_t kThresholdUnits = 6;

constexpr uint8_t kStoredStateMask = 0x0F;
constexpr uint8_t kSettingsCrcStart = 0xFF;

// ---- writing ----

class ImageWriter {
  public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U16(uint16_t v) {
        U8(uint8_t(v));
        U8(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        U16(uint16_t(v));
        U16(uint16_t(v >> 16));
    }
    void I32(int32_t v) { U32(uint32_t(v)); }
    // Units without a terminator (header and markers).
    void Units(std::u16string_view text) {
        for (char16_t c : text) U16(c);
    }
    // A NUL-terminated, zero-filled field of `units` units.
    void Field(std::u16string_view text, size_t units) {
        for (char16_t c : ToFixedField(text, units)) U16(c);
    }
    void Raw(const std::vector<uint8_t>& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// The first row whose serial text equals the stored one; -1 when none.
int RowBySerial(const GridBase& grid, int serial_col, const std::u16string& serial) {
    const int rows = grid.RowCount();
    for (int row = 0; row < rows; ++row)
        if (grid.CellText(row, serial_col) == serial) return row;
    return -1;
}

bool HasNegative(const WindowRect& r) {
    return r.left < 0 || r.top < 0 || r.right < 0 || r.bottom < 0;
}

void WriteSwitchChannel(ImageWriter& out, const GridSw& grid, int row, int channel) {
    out.Field(grid.CellText(row, GridSw::Col(channel, GridSw::kColThermometerA)), kNameFieldUnits);
    out.Field(grid.CellText(row, GridSw::Col(channel, GridSw::kColLowA)), kThresholdUnits);
    out.Field(grid.CellText(row, GridSw::Col(channel, GridSw::kColHighA)), kThresholdUnits);
    out.Field(grid.CellText(row, GridSw::Col(channel, GridSw::kColNameA)), kNameFieldUnits);
    out.U8(uint8_t(grid.CellNumber(row, GridSw::Col(channel, GridSw::kColTypeA))));
    out.U8(uint8_t(grid.CellNumber(row, GridSw::Col(channel, GridSw::kColScenarioA))));
}

// The kept records of a table whose devices are still not among its rows, at most `room`.
template <class Table>
std::vector<AbsentDevice> StillAbsent(const Table& table, int serial_col, size_t room) {
    std::vector<AbsentDevice> absent = table.Absent().List();
    std::erase_if(absent, [&](const AbsentDevice& device) {
        return RowBySerial(table, serial_col, device.serial) >= 0;
    });
    if (absent.size() > room) absent.resize(room);
    return absent;
}

// ---- reading ----

class ImageReader {
  public:
    explicit ImageReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Has(size_t n) const { return bytes_.size() - pos_ >= n; }
    // Each getter needs Has() first.
    uint8_t U8() { return bytes_[pos_++]; }
    uint16_t U16() {
        const uint16_t lo = U8();
        return uint16_t(lo | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (uint32_t(U16()) << 16);
    }
    int32_t I32() { return int32_t(U32()); }
    std::u16string Units(size_t units) {
        std::u16string text;
        for (size_t i = 0; i < units; ++i) text.push_back(char16_t(U16()));
        return text;
    }
    // The next n bytes as they are, without moving on.
    std::vector<uint8_t> Peek(size_t n) const {
        return {bytes_.begin() + std::ptrdiff_t(pos_), bytes_.begin() + std::ptrdiff_t(pos_ + n)};
    }
    // Text of a fixed field up to its terminator.
    std::u16string Field(size_t units) {
        const std::u16string raw = Units(units);
        return FromFixedField(raw.data(), raw.size());
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

enum class Marker { kYes, kNo, kOther };

// Reads the 36 bytes of a marker position: the YES marker, or the NO marker and its count.
Marker ReadMarker(ImageReader& in, std::u16string_view yes, std::u16string_view no) {
    const std::u16string units = in.Units(kSettingsMarkerSize / 2);
    if (units == yes) return Marker::kYes;
    if (std::u16string_view(units).substr(0, no.size()) == no) return Marker::kNo;
    return Marker::kOther;
}

struct SwitchChannelFields {
    std::u16string thermometer, low, high, name;
    uint8_t type = 0, scenario = 0;
};

SwitchChannelFields ReadSwitchChannel(ImageReader& in) {
    SwitchChannelFields f;
    f.thermometer = in.Field(kNameFieldUnits);
    f.low = in.Field(kThresholdUnits);
    f.high = in.Field(kThresholdUnits);
    f.name = in.Field(kNameFieldUnits);
    f.type = in.U8();
    f.scenario = in.U8();
    return f;
}

// "A/B" of the two channel names, or the one that is set.
std::u16string ChannelNames(const SwitchChannelFields& a, const SwitchChannelFields& b) {
    if (a.name.empty() || b.name.empty()) return a.name + b.name;
    return a.name + u"/" + b.name;
}

void ApplySwitchChannel(GridSw& grid, int row, int channel, const SwitchChannelFields& f) {
    grid.SetCellText(row, GridSw::Col(channel, GridSw::kColThermometerA), f.thermometer);
    grid.SetCellText(row, GridSw::Col(channel, GridSw::kColLowA), f.low);
    grid.SetCellText(row, GridSw::Col(channel, GridSw::kColHighA), f.high);
    grid.SetCellText(row, GridSw::Col(channel, GridSw::kColNameA), f.name);
    grid.SetCellNumber(row, GridSw::Col(channel, GridSw::kColTypeA), f.type);
    grid.SetCellNumber(row, GridSw::Col(channel, GridSw::kColScenarioA), f.scenario);
}

bool Fail(SettingsError* why, SettingsError error) {
    if (why) *why = error;
    return false;
}

}  // namespace

const char* SettingsErrorText(SettingsError error) {
    switch (error) {
        case SettingsError::kNone:
            return "no error";
        case SettingsError::kOpen:
            return "cannot be opened";
        case SettingsError::kEmpty:
            return "empty";
        case SettingsError::kTooLarge:
            return "too large";
        case SettingsError::kRead:
            return "cannot be read";
        case SettingsError::kCheckByte:
            return "check byte mismatch";
        case SettingsError::kHeader:
            return "wrong header";
        case SettingsError::kShort:
            return "ends inside a field";
        case SettingsError::kThermometerMarker:
            return "wrong thermometer section marker";
        case SettingsError::kSwitchMarker:
            return "wrong switch section marker";
    }
    return "unknown";
}

std::vector<uint8_t> BuildSettingsImage(const SettingsPeer& peer, const GridKalvo& thermometers,
                                        const GridSw& switches) {
    ImageWriter out;
    out.Units(kHeader);
    out.U32(peer.BackgroundColour());
    out.U32(peer.GridColour());
    out.U16(uint16_t(peer.Period()));
    out.U16(peer.Flags() & kFlagMask);
    WindowRect rect = peer.MainWindowRect();
    if (HasNegative(rect)) rect = kFallbackRect;
    out.I32(rect.left);
    out.I32(rect.top);
    out.I32(rect.right);
    out.I32(rect.bottom);

    // Rows of the devices present first, then the kept records of those absent, which a
    // reader of any version skips while they stay away.
    const int t = std::min(thermometers.RowCount(), 0xFFFF);
    const std::vector<AbsentDevice> t_absent =
        StillAbsent(thermometers, GridKalvo::kColSerial, size_t(0xFFFF - t));
    if (t + t_absent.size() > 0) {
        out.Units(kThermometersYes);
        out.U16(uint16_t(t + t_absent.size()));
        for (int row = 0; row < t; ++row) {
            out.U8(uint8_t(thermometers.CellNumber(row, GridKalvo::kColState)));
            out.Field(thermometers.CellText(row, GridKalvo::kColSerial), kSerialUnits);
            out.Field(thermometers.CellText(row, GridKalvo::kColName), kNameFieldUnits);
            out.U32(thermometers.CellColour(row, GridKalvo::kColColour));
        }
        for (const AbsentDevice& device : t_absent) out.Raw(device.record);
    } else {
        out.Units(kThermometersNo);
        out.U16(0);
    }

    const int s = std::min(switches.RowCount(), 0xFFFF);
    const std::vector<AbsentDevice> s_absent =
        StillAbsent(switches, GridSw::kColSerial, size_t(0xFFFF - s));
    if (s + s_absent.size() > 0) {
        out.Units(kSwitchesYes);
        out.U16(uint16_t(s + s_absent.size()));
        for (int row = 0; row < s; ++row) {
            out.Field(switches.CellText(row, GridSw::kColSerial), kSerialUnits);
            WriteSwitchChannel(out, switches, row, 0);
            WriteSwitchChannel(out, switches, row, 1);
        }
        for (const AbsentDevice& device : s_absent) out.Raw(device.record);
    } else {
        out.Units(kSwitchesNo);
        out.U16(0);
    }

    std::vector<uint8_t>& bytes = out.Bytes();
    bytes.push_back(Crc8(bytes.data(), bytes.size(), kSettingsCrcStart));
    return std::move(bytes);
}

bool ApplySettingsImage(std::span<const uint8_t> image, SettingsPeer& peer, GridKalvo& thermometers,
                        GridSw& switches, SettingsError* why) {
    if (why) *why = SettingsError::kNone;
    if (image.empty()) return Fail(why, SettingsError::kEmpty);
    if (image.size() > kSettingsMaxSize) return Fail(why, SettingsError::kTooLarge);
    const size_t body = image.size() - 1;
    if (Crc8(image.data(), body, kSettingsCrcStart) != image[body])
        return Fail(why, SettingsError::kCheckByte);

    // Fields end where the check byte begins.
    ImageReader in(image.first(body));
    if (!in.Has(kSettingsHeaderSize) || in.Units(kSettingsHeaderSize / 2) != kHeader)
        return Fail(why, SettingsError::kHeader);

    if (!in.Has(4)) return Fail(why, SettingsError::kShort);
    peer.SetBackgroundColour(in.U32());
    if (!in.Has(4)) return Fail(why, SettingsError::kShort);
    peer.SetGridColour(in.U32());

    if (!in.Has(4)) return Fail(why, SettingsError::kShort);
    int period = in.U16();
    const uint16_t flags = in.U16() & kFlagMask;
    if (period < kPeriodMin || period > kPeriodMax) period = kPeriodDefault;
    peer.ApplyPeriodAndFlags(period, flags);

    if (!in.Has(16)) return Fail(why, SettingsError::kShort);
    WindowRect rect;
    rect.left = in.I32();
    rect.top = in.I32();
    rect.right = in.I32();
    rect.bottom = in.I32();
    peer.MoveMainWindow(HasNegative(rect) ? kFallbackRect : rect);

    if (!in.Has(kSettingsMarkerSize)) return Fail(why, SettingsError::kShort);
    switch (ReadMarker(in, kThermometersYes, kThermometersNo)) {
        case Marker::kOther:
            return Fail(why, SettingsError::kThermometerMarker);
        case Marker::kNo:
            thermometers.Absent().Clear();
            break;
        case Marker::kYes: {
            thermometers.Absent().Clear();
            if (!in.Has(2)) return Fail(why, SettingsError::kShort);
            const int count = in.U16();
            for (int i = 0; i < count; ++i) {
                if (!in.Has(kThermometerRecordSize)) return Fail(why, SettingsError::kShort);
                std::vector<uint8_t> record = in.Peek(kThermometerRecordSize);
                const uint8_t state = in.U8() & kStoredStateMask;
                const std::u16string serial = in.Field(kSerialUnits);
                const std::u16string name = in.Field(kNameFieldUnits);
                const uint32_t colour = in.U32();
                const int row = RowBySerial(thermometers, GridKalvo::kColSerial, serial);
                if (row < 0) {
                    if (!serial.empty())
                        thermometers.Absent().Keep({serial, name, std::move(record)});
                    continue;
                }
                thermometers.SetCellNumber(row, GridKalvo::kColState, state);
                thermometers.SetCellColour(row, GridKalvo::kColColour, colour);
                thermometers.SetCellText(row, GridKalvo::kColName, name);
            }
        }
    }

    if (!in.Has(kSettingsMarkerSize)) return Fail(why, SettingsError::kShort);
    switch (ReadMarker(in, kSwitchesYes, kSwitchesNo)) {
        case Marker::kOther:
            return Fail(why, SettingsError::kSwitchMarker);
        case Marker::kNo:
            switches.Absent().Clear();
            return true;
        case Marker::kYes: {
            switches.Absent().Clear();
            if (!in.Has(2)) return Fail(why, SettingsError::kShort);
            const int count = in.U16();
            for (int i = 0; i < count; ++i) {
                if (!in.Has(kSwitchRecordSize)) return Fail(why, SettingsError::kShort);
                std::vector<uint8_t> record = in.Peek(kSwitchRecordSize);
                const std::u16string serial = in.Field(kSerialUnits);
                const SwitchChannelFields a = ReadSwitchChannel(in);
                const SwitchChannelFields b = ReadSwitchChannel(in);
                const int row = RowBySerial(switches, GridSw::kColSerial, serial);
                if (row < 0) {
                    if (!serial.empty())
                        switches.Absent().Keep({serial, ChannelNames(a, b), std::move(record)});
                    continue;
                }
                switches.SetCellText(row, GridSw::kColSerial, serial);
                ApplySwitchChannel(switches, row, 0, a);
                ApplySwitchChannel(switches, row, 1, b);
            }
        }
    }
    return true;
}

namespace {

// " (the system's reason)" of the errno a failed call left; empty when it left none.
std::string SystemReason(int error) {
    if (error == 0) return {};
    return std::string(" (") + std::strerror(error) + ")";
}

}  // namespace

SettingsNotice SetAsideFailedSettings(const std::string& path, SettingsError why,
                                      SHELL::SettingFileOps& ops) {
    SettingsNotice notice;
    if (path.empty() || !ops.Exists(path)) {
        notice.status = kSettingsDefaultsText;
        return notice;
    }
    notice.status = kSettingsCorruptText;
    if (ops.IsFolder(path)) {
        notice.box = Utf8ToUtf16(path +
                                 " is a folder, not a settings file: the default settings are "
                                 "in use, and the settings of this run cannot be saved.");
        return notice;
    }
    const std::string kept = path + ".bad";
    const std::string fault = std::string("The settings file ") + path + " cannot be used (" +
                              SettingsErrorText(why) + ")";
    errno = 0;
    if (ops.Replace(path, kept)) {
        notice.box =
            Utf8ToUtf16(fault + ". It is kept as " + kept + "; the default settings are in use.");
    } else {
        notice.box =
            Utf8ToUtf16(fault + ", and it could not be kept as " + kept + SystemReason(errno) +
                        ". The default settings are in use; the file is replaced when "
                        "the program closes.");
    }
    return notice;
}

std::u16string AbsentDevicesText(const GridKalvo& thermometers, const GridSw& switches) {
    std::u16string list;
    auto add = [&list](std::u16string_view kind, const AbsentDevice& device) {
        if (!list.empty()) list += u", ";
        list += kind;
        if (!device.name.empty()) list += u" " + device.name;
        list += u" (" + device.serial + u")";
    };
    for (const AbsentDevice& device : thermometers.Absent().List()) add(u"thermometer", device);
    for (const AbsentDevice& device : switches.Absent().List()) add(u"switch", device);
    if (list.empty()) return list;
    return u"Not on the bus, their settings are kept: " + list;
}

void ReportAbsentDevices(const GridKalvo& thermometers, const GridSw& switches,
                         StatusBar* status_bar) {
    const std::u16string text = AbsentDevicesText(thermometers, switches);
    if (text.empty()) return;
    if (status_bar) status_bar->SetPaneText(kPaneMain, text);
    std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
    std::fflush(stderr);
}

namespace SHELL {

CFileSetting::CFileSetting(SettingFileOps& ops) : CShell(ops), setting_ops_(ops) {}

bool CFileSetting::Save(const std::string& path, const SettingsPeer& peer,
                        const GridKalvo& thermometers, const GridSw& switches,
                        std::u16string* why) {
    if (why) why->clear();
    if (path.empty()) return false;
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& step, int error) {
        if (why)
            *why = Utf8ToUtf16("The settings could not be saved to " + path + ": " + step +
                               SystemReason(error) + ".");
        return false;
    };
    // rename() would refuse it at the very end; say so plainly instead.
    if (ops_.IsFolder(path)) return fail("it is a folder", 0);
    const std::vector<uint8_t> image = BuildSettingsImage(peer, thermometers, switches);

    // A crash during an earlier save may have left the temporary file read-only.
    if (ops_.Exists(temporary)) ops_.SetAttributes(temporary, FileOps::Attributes::kArchive);
    errno = 0;
    std::string step;
    if (!OpenForWriting(temporary))
        step = "cannot create " + temporary;
    else if (!Truncate(0) || !Write(image.data(), image.size()))
        step = "cannot write " + temporary;
    int error = errno;
    Close();
    if (step.empty()) {
        errno = 0;
        if (!setting_ops_.SyncFile(temporary))
            step = "cannot flush " + temporary + " to the disk";
        else if (!ops_.SetAttributes(temporary, FileOps::Attributes::kReadOnly))
            step = "cannot make " + temporary + " read-only";
        error = errno;
    }
    if (!step.empty()) {
        setting_ops_.Remove(temporary);
        return fail(step, error);
    }
    // A read-only file cannot be replaced everywhere; it is writable only for this moment.
    const bool existed = ops_.Exists(path);
    if (existed) ops_.SetAttributes(path, FileOps::Attributes::kArchive);
    errno = 0;
    if (!setting_ops_.Replace(temporary, path)) {
        error = errno;
        if (existed) ops_.SetAttributes(path, FileOps::Attributes::kReadOnly);
        setting_ops_.Remove(temporary);
        return fail("cannot replace it with " + temporary, error);
    }
    return true;
}

bool CFileSetting::Load(const std::string& path, SettingsPeer& peer, GridKalvo& thermometers,
                        GridSw& switches, SettingsError* why) {
    if (why) *why = SettingsError::kNone;
    if (!OpenForReading(path)) return Fail(why, SettingsError::kOpen);
    uint64_t size = 0;
    if (!Size(&size) || size == 0) {
        Close();
        return Fail(why, SettingsError::kEmpty);
    }
    if (size > kSettingsMaxSize) {
        Close();
        return Fail(why, SettingsError::kTooLarge);
    }
    std::vector<uint8_t> image(static_cast<size_t>(size));
    const int64_t got = Read(image.data(), image.size());
    Close();
    if (got < 0 || uint64_t(got) != size) return Fail(why, SettingsError::kRead);
    return ApplySettingsImage(image, peer, thermometers, switches, why);
}

}  // namespace SHELL
}  // namespace kalvo
