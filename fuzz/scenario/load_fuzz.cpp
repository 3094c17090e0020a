// Any file is either loaded or rejected with its status text, and a loaded file shows and saves
// back exactly the values it held. An input of the accepted size is the file itself, so the
// stored fixtures seed the contents; of any other input the first byte picks how the rest
// becomes a file: as it is (sizes), or cut or padded to the accepted size (contents).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"
#include "core/scenario/scenario_record.h"

namespace {

using namespace kalvo;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "temporary file");
    if (size) Check(std::fwrite(data, 1, size, f) == size, "temporary write");
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static GridSn grid;  // kept across inputs, as the page's grid is
    static const std::string in = "/tmp/kalvo_fuzz_in_" + std::to_string(getpid()) + ".snr";
    static const std::string out = "/tmp/kalvo_fuzz_out_" + std::to_string(getpid()) + ".snr";
    static const struct Cleanup {
        ~Cleanup() {
            std::remove(in.c_str());
            std::remove(out.c_str());
        }
    } cleanup;
    if (size == 0) return 0;
    std::vector<uint8_t> file(data, data + size);
    if (size != kScenarioFileSize) {
        file.erase(file.begin());
        if (data[0] & 1) file.resize(kScenarioFileSize, data[0]);
    }
    WriteFile(in, file.data(), file.size());

    const ScenarioFileResult result = LoadScenarios(grid, in);
    if (file.size() != kScenarioFileSize) {
        Check(!result.ok && result.status == kScenarioCorruptText, "wrong size rejected");
        return 0;
    }
    Check(result.ok && result.status.empty(), "right size loaded");

    const auto stored = grid.StoreAll();
    for (int i = 0; i < kScenarioCount; ++i) {
        const ScenarioRecord r = DecodeScenarioRecord(std::span<const uint8_t, kScenarioRecordSize>(
            file.data() + i * kScenarioRecordSize, kScenarioRecordSize));
        const ScenarioRecord& s = stored[i];
        Check(s.number == i && s.cycles == r.cycles && s.delay == r.delay, "header fields");
        Check(s.Name() == r.Name(), "name");
        for (int k = 0; k < kScenarioSteps; ++k) {
            Check(s.steps[k].duration == r.steps[k].duration, "duration");
            Check(s.steps[k].lower == r.steps[k].lower && s.steps[k].upper == r.steps[k].upper,
                  "thresholds");
            Check(s.steps[k].flags == (r.steps[k].duration ? kStepDefined : 0u), "step flags");
        }
        ScenarioRecord table = grid.Record(i);
        table.start_time = s.start_time;  // the table keeps its own
        Check(table == s, "table record");
    }

    Check(SaveScenarios(grid, out).ok, "save");
    GridSn again;
    Check(LoadScenarios(again, out).ok, "reload");
    Check(again.StoreAll() == stored, "saved file loads the same");
    return 0;
}
