// kalvo-bus: the device layer from the command line. Status texts go to stderr, results to
// stdout as tab-separated lines.
#include <cerrno>
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
#include "core/device/switch_off.h"

namespace kalvo {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr int64_t kPassPeriodMs = 2000;
constexpr long kOffWaitSeconds = 30;

int Usage() {
    std::fputs(
        "usage: kalvo-bus bridges\n"
        "       kalvo-bus scan\n"
        "       kalvo-bus read [--health] [passes]\n"
        "       kalvo-bus switch <rom> A|B on|off\n"
        "       kalvo-bus off [--serial <serial>] [--wait <seconds>]\n",
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

    int Read(long passes, bool health) {
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
                const std::u16string_view why = FaultText(bus_.LastPassFailure());
                if (!why.empty()) bar_.SetPaneText(kPaneMain, why);
                return kExitFailed;
            }
            bus_.ClearPending();
            const std::vector<SensorHealth> counters = bus_.Health();
            for (size_t i = 0; i < samples.size(); ++i) {
                const SampleRecord& s = samples[i];
                std::printf("%s\t%.4f\t%u", Utf8(RomText(s.rom)).c_str(), s.temperature, s.valid);
                if (health && i < counters.size()) {
                    const SensorHealth& h = counters[i];
                    std::printf("\tcrc=%u\tpower-on=%u\tlow-power=%u\tmissing=%u\toverran=%u%s",
                                h.crc_failures, h.power_on_values, h.low_power_values,
                                h.missing_answers, h.overran_conversions, h.stuck ? "\tstuck" : "");
                }
                std::printf("\n");
            }
            std::fflush(stdout);
        }
        return 0;
    }

    int Switch(RomCode code, int channel, int value) {
        if (!Open()) return kExitFailed;
        std::printf("%d\n", bus_.SetChannel(code, value, channel));
        return 0;
    }

    // One line per switch: rom, off or failed, and the channels that were on before (A, B,
    // AB, - for none, ? when unknown).
    int Off(const std::string& serial, long wait_seconds) {
        const SwitchOffReport report = SwitchEverythingOff(
            DriverApi(), Utf8ToUtf16(serial), SystemClock(), wait_seconds * 1000, nullptr);
        for (const SwitchOffResult& r : report.switches) {
            const char* before = r.was_on < 0    ? "?"
                                 : r.was_on == 3 ? "AB"
                                 : r.was_on == 2 ? "B"
                                 : r.was_on == 1 ? "A"
                                                 : "-";
            std::printf("%s\t%s\t%s\n", Utf8(RomText(r.code)).c_str(), r.off ? "off" : "failed",
                        before);
        }
        if (!report.opened) {
            bar_.SetPaneText(kPaneMain, serial.empty()
                                            ? u"No FT232R bridge could be opened"
                                            : u"The FT232R bridge " + Utf8ToUtf16(serial) +
                                                  u" could not be opened");
            return kExitFailed;
        }
        if (!report.AllOff()) {
            bar_.SetPaneText(kPaneMain, u"Not every switch confirmed off");
            return kExitFailed;
        }
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

// A whole decimal number of at least `least`.
bool ParseCount(const char* text, long least, long* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < least) return false;
    *value = v;
    return true;
}

int Main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    Tool tool;
    if (command == "bridges" && argc == 2) return tool.Bridges();
    if (command == "scan" && argc == 2) return tool.Scan();
    if (command == "read") {
        long passes = 1;
        bool health = false, counted = false;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--health") == 0 && !health) {
                health = true;
            } else if (!counted && ParseCount(argv[i], 1, &passes)) {
                counted = true;
            } else {
                return Usage();
            }
        }
        return tool.Read(passes, health);
    }
    if (command == "off") {
        std::string serial;
        long wait = kOffWaitSeconds;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--serial") == 0 && i + 1 < argc && *argv[i + 1]) {
                serial = argv[++i];
            } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc &&
                       ParseCount(argv[i + 1], 0, &wait)) {
                ++i;
            } else {
                return Usage();
            }
        }
        return tool.Off(serial, wait);
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
