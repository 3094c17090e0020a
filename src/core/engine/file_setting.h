#pragma once
// setting.stg: the chart colours, period, flags, window rectangle and the user's entries in the
// two device tables, kept between runs. Little-endian, UTF-16LE texts, a trailing CRC-8.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/archive/shell.h"
#include "core/common/file_ops.h"
#include "core/engine/settings_peer.h"

namespace kalvo {

class GridKalvo;
class GridSw;
class StatusBar;

inline constexpr char kSettingsFileName[] = "setting.stg";

// Layout.
constexpr size_t kSettingsHeaderSize = 28;
constexpr size_t kSettingsFixedSize = 56;   // header, colours, period, flags, rectangle
constexpr size_t kSettingsMarkerSize = 36;  // the longer ("YES") marker
constexpr size_t kThermometerRecordSize = 103;
constexpr size_t kSwitchRecordSize = 342;
// The largest file the format can describe; anything longer is not ours.
constexpr size_t kSettingsMaxSize = kSettingsFixedSize + 2 * (kSettingsMarkerSize + 2) +
                                    65535 * (kThermometerRecordSize + kSwitchRecordSize) + 1;
// Stored in place of a rectangle with a negative value (a maximised or minimised window).
constexpr WindowRect kFallbackRect{0, 0, 600, 800};

// Why a load stopped, in the order the checks run.
enum class SettingsError {
    kNone,
    kOpen,       // missing, not a regular file, or held by somebody else
    kEmpty,      // size 0 (or the size could not be read)
    kTooLarge,   // longer than the format allows
    kRead,       // the file could not be read whole
    kCheckByte,  // CRC-8 mismatch
    kHeader,     // not a settings file of this version
    kShort,      // ends inside a field
    kThermometerMarker,
    kSwitchMarker,
};
const char* SettingsErrorText(SettingsError error);

// The whole file image of the current state: the rows present, then the records the tables keep
// of devices absent in this run.
std::vector<uint8_t> BuildSettingsImage(const SettingsPeer& peer, const GridKalvo& thermometers,
                                        const GridSw& switches);
// Checks and applies an image field by field; what was applied before a failure stays applied.
// Records without a row are kept by the tables (Absent()) for the next save.
bool ApplySettingsImage(std::span<const uint8_t> image, SettingsPeer& peer, GridKalvo& thermometers,
                        GridSw& switches, SettingsError* why = nullptr);

// ---- what start-up and the exit tell the user ----

// A start without a settings file is a first start, not a fault.
inline constexpr char16_t kSettingsDefaultsText[] =
    u"No settings file yet, the default settings are in use";
inline constexpr char16_t kSettingsCorruptText[] = u"The settings file is corrupted";
inline constexpr char16_t kSettingsBoxCaption[] = u"Error";

struct SettingsNotice {
    std::u16string status;  // for the main pane
    std::u16string box;     // text of a box captioned kSettingsBoxCaption; empty: no box
};

namespace SHELL {
class SettingFileOps;
}

// After a load at start-up that failed. A missing file only gets a status text. A file that
// exists and failed is moved aside to `<path>.bad` (an older one replaced) before anything can
// save over it, and the box says where it went; the next start finds no file, so the box comes
// once. A folder in the file's place stays; its box says that nothing can be saved.
SettingsNotice SetAsideFailedSettings(const std::string& path, SettingsError why,
                                      SHELL::SettingFileOps& ops);

// Known devices that are not on the bus in this run, as one status text; empty when none.
std::u16string AbsentDevicesText(const GridKalvo& thermometers, const GridSw& switches);
// AbsentDevicesText in the main pane and on stderr; nothing when no device is absent.
void ReportAbsentDevices(const GridKalvo& thermometers, const GridSw& switches,
                         StatusBar* status_bar);

namespace SHELL {

// The file calls the settings file needs beyond the archive's.
class SettingFileOps : public FileOps {
  public:
    // Flushes a written file, named by its path, to the disk. (FileOps::Sync takes a handle; a
    // name of its own keeps that one visible here.)
    virtual bool SyncFile(const std::string& path);
    // Puts `from` in the place of `to` in one step, replacing it.
    virtual bool Replace(const std::string& from, const std::string& to);
    virtual bool Remove(const std::string& path);
};
SettingFileOps& DefaultSettingFileOps();

class CFileSetting : public CShell {
  public:
    explicit CFileSetting(SettingFileOps& ops = DefaultSettingFileOps());

    // Writes the image to a temporary file beside `path` and renames it over the old file, so
    // a failed or interrupted save leaves the previous settings whole. The file is read-only
    // between saves. A failure puts the text of its box into `why` (the path, the step and the
    // system's reason); an empty path saves nothing and says nothing.
    bool Save(const std::string& path, const SettingsPeer& peer, const GridKalvo& thermometers,
              const GridSw& switches, std::u16string* why = nullptr);
    bool Load(const std::string& path, SettingsPeer& peer, GridKalvo& thermometers,
              GridSw& switches, SettingsError* why = nullptr);

  private:
    SettingFileOps& setting_ops_;
};

}  // namespace SHELL
}  // namespace kalvo
