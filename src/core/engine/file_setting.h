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

// The whole file image of the current state.
std::vector<uint8_t> BuildSettingsImage(const SettingsPeer& peer, const GridKalvo& thermometers,
                                        const GridSw& switches);
// Checks and applies an image field by field; what was applied before a failure stays applied.
bool ApplySettingsImage(std::span<const uint8_t> image, SettingsPeer& peer, GridKalvo& thermometers,
                        GridSw& switches, SettingsError* why = nullptr);

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
    // between saves.
    bool Save(const std::string& path, const SettingsPeer& peer, const GridKalvo& thermometers,
              const GridSw& switches);
    bool Load(const std::string& path, SettingsPeer& peer, GridKalvo& thermometers,
              GridSw& switches, SettingsError* why = nullptr);

  private:
    SettingFileOps& setting_ops_;
};

}  // namespace SHELL
}  // namespace kalvo
