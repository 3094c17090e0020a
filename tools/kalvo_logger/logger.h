#pragma once
// The program without a window: the same Program, driver, bus search, settings, day files,
// thermostat, scenarios and output guard as the desktop, with its messages handed back on the
// main thread's own queue and every status text and box as one line on stderr.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/engine/file_setting.h"

namespace kalvo {

struct LoggerOptions {
    std::string data;       // archive root (day files, setting.stg); empty: the program's own
    std::string scenarios;  // a scenario file to load before measuring; empty: none
    bool once = false;      // one pass, printed to stdout, then the orderly close
};

// The exit code: 0 after an orderly close (a signal, or the end of --once); 1 when another
// program holds the data folder, the start-up failed (no bridge, no bus, no thermometer) or the
// archive or the scenario file could not be used.
int RunLogger(const LoggerOptions& options);

// The settings as the window saved them are the window's: the logger reads them, and its saves
// go nowhere while they report success, so the window's names, thresholds and rectangle are
// never replaced by what a run without a window holds. A damaged file is still moved aside as
// the window would, so neither program keeps stumbling over it.
class KeepWindowSettings : public SHELL::SettingFileOps {
  public:
    int Open(const std::string& path, Access access) override;
    bool Close(int handle) override;
    bool Write(int handle, const void* data, size_t n) override;
    bool Truncate(int handle, uint64_t size) override;
    bool Sync(int handle) override;
    bool SetAttributes(const std::string& path, Attributes attributes) override;
    bool SyncFile(const std::string& path) override;
    bool Replace(const std::string& from, const std::string& to) override;
    bool Remove(const std::string& path) override;

  private:
    std::map<int, std::string> discarded_handles_;
    std::set<std::string> discarded_paths_;
};

}  // namespace kalvo
