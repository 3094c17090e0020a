// kalvo-bus: the device layer from the command line. Status texts go to stderr, results to
// stdout as tab-separated lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/common/clock.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/device/d2xx_binding.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr int64_t kPassPeriodMs = 2000;

int Usage() {
    std::fputs(
        "usage: kalvo-bus bridges\n"
        "       kalvo-bus scan\n"
        "       kalvo-bus read [passes]\n"
        "       kalvo-bus switch <rom> A|B on|off\n",
        stderr);
    return kExitUsage;
}

std::string Utf8(std::u16string_view text) {
    return Utf16ToUtf8(text);
}

class Tool {
  public:
    Tool() {
        bar_.EchoToStderr(true);
        bus_.SetStatusBar(&bar_);
    }

    int Bridges() {
        if (!bus_.SearchBridges()) return kExitFailed;
        const auto& bridges = bus_.Link().Bridges();
        for (size_t i = 0; i < bridges.size(); ++i)
            std::printf("%zu\t%s\t%s\n", i, Utf8(bridges[i].SerialText()).c_str(),
                        Utf8(bridges[i].DescriptionText()).c_str());
        return 0;
    }

    int Scan() {
        if (!Open()) return kExitFailed;
        for (const auto* list : {&bus_.Thermometers(), &bus_.Switches()})
            for (RomCode code : *list)
                std::printf("%s\t%s\n", Utf8(RomText(code)).c_str(),
                            Utf8(FamilyName(FamilyOf(code))).c_str());
        return 0;
    }

    int Read(long passes) {
        if (!Open()) return kExitFailed;
        Clock& clock = SystemClock();
        int64_t next = clock.NowMs();
        for (long pass = 0; pass < passes; ++pass) {
            if (pass > 0) clock.SleepMs(next - clock.NowMs());
            next += kPassPeriodMs;
            const int32_t result = bus_.MeasureAll();
            SampleList samples;
            if (result != 1 || !bus_.TakeLatest(samples)) {
                bar_.SetPaneText(kPaneMain, result == COneWireBus::kMeasureNotDone
                                                ? u"Measurement not done"
                                                : u"Measurement failed");
                return kExitFailed;
            }
            bus_.ClearPending();
            for (const SampleRecord& s : samples)
                std::printf("%s\t%.4f\t%u\n", Utf8(RomText(s.rom)).c_str(), s.temperature, s.valid);
            std::fflush(stdout);
        }
        return 0;
    }

    int Switch(RomCode code, int channel, int value) {
        if (!Open()) return kExitFailed;
        std::printf("%d\n", bus_.SetChannel(code, value, channel));
        return 0;
    }

  private:
    bool Open() {
        if (!bus_.SearchBridges()) return false;
        if (!bus_.OpenBus()) {
            bar_.SetPaneText(kPaneMain, u"Devices search 1Wire failed");
            return false;
        }
        bar_.SetPaneText(kPaneMain, u"Devices search 1Wire completed successfully");
        return true;
    }

    RecordingStatusBar bar_;
    COneWireBus bus_{DriverApi()};
};

int Main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    Tool tool;
    if (command == "bridges" && argc == 2) return tool.Bridges();
    if (command == "scan" && argc == 2) return tool.Scan();
    if (command == "read" && argc <= 3) {
        long passes = 1;
        if (argc == 3) {
            char* end = nullptr;
            passes = std::strtol(argv[2], &end, 10);
            if (*argv[2] == '\0' || *end != '\0' || passes < 1) return Usage();
        }
        return tool.Read(passes);
    }
    if (command == "switch" && argc == 5) {
        const RomCode code = RomFromText(Utf8ToUtf16(argv[2]));
        const std::string channel = argv[3], state = argv[4];
        if (code == 0 || (channel != "A" && channel != "B") || (state != "on" && state != "off"))
            return Usage();
        return tool.Switch(code, channel == "A" ? 0 : 1, state == "on" ? 1 : 0);
    }
    return Usage();
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    return kalvo::Main(argc, argv);
}
