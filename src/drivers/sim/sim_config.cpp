#include "drivers/sim/sim_config.h"

#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include "core/common/text.h"

namespace kalvo::sim {
namespace {

// The built-in bus; src/sim/simbus.conf is the same bus with comments.
constexpr std::string_view kDefaultBus = R"(
bridge serial=KALVO001 description="FT232R USB UART"
ds18b20 id=00000A1B2C3D temp=21.5 swing=1.5 period=600 noise=0.02
ds18b20 id=00000A1B2C4E temp=4.0 swing=0.8 period=900 phase=90 noise=0.02
ds18b20 id=00000A1B2C5F temp=36.6 swing=0.3 period=1200 phase=180 resolution=11
ds18b20 id=00000A1B2C60 temp=-12.0 swing=2.5 period=1800 phase=270 resolution=10
ds1820 id=000000B0B0B0 temp=-3.25 swing=1.0 period=1500
ds2413 id=0000000ABCDE
couple switch=0000000ABCDE channel=A sensor=00000A1B2C3D rate=0.6
)";

struct Field {
    std::string key;
    std::string value;
};

class LineParser {
  public:
    LineParser(int line, ConfigError* error) : line_(line), error_(error) {}

    bool Fail(const std::string& message) {
        if (error_) *error_ = {line_, message};
        return false;
    }

    // Splits a line into words; a quoted part may hold blanks and '#'.
    bool Tokens(std::string_view text, std::vector<std::string>* out) {
        std::string token;
        bool in_token = false;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '"') {
                const size_t end = text.find('"', i + 1);
                if (end == std::string_view::npos) return Fail("unterminated quote");
                token.append(text.substr(i + 1, end - i - 1));
                in_token = true;
                i = end;
            } else if (c == '#') {
                break;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                if (in_token) out->push_back(std::move(token));
                token.clear();
                in_token = false;
            } else {
                token.push_back(c);
                in_token = true;
            }
        }
        if (in_token) out->push_back(std::move(token));
        return true;
    }

    // key=value words, each key at most once and from `allowed`.
    bool Fields(const std::vector<std::string>& words, size_t first, const std::string& what,
                const std::set<std::string>& allowed, std::map<std::string, std::string>* out) {
        for (size_t i = first; i < words.size(); ++i) {
            const auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return Fail("expected key=value, found '" + words[i] + "'");
            const std::string key = words[i].substr(0, eq);
            if (!allowed.count(key)) return Fail("unknown key '" + key + "' for " + what);
            if (out->count(key)) return Fail("duplicate key '" + key + "'");
            (*out)[key] = words[i].substr(eq + 1);
        }
        return true;
    }

    bool Number(const std::map<std::string, std::string>& f, const std::string& key, double lo,
                double hi, double* value) {
        const auto it = f.find(key);
        if (it == f.end()) return true;
        double v = 0;
        if (!ParseDecimal(Utf8ToUtf16(it->second), &v) || !std::isfinite(v))
            return Fail("bad number for " + key + ": '" + it->second + "'");
        if (v < lo || v > hi) return Fail(key + " out of range: '" + it->second + "'");
        *value = v;
        return true;
    }

    bool Integer(const std::map<std::string, std::string>& f, const std::string& key, int64_t lo,
                 int64_t hi, int64_t* value) {
        const auto it = f.find(key);
        if (it == f.end()) return true;
        int64_t v = 0;
        if (!ParseInteger(Utf8ToUtf16(it->second), &v))
            return Fail("bad number for " + key + ": '" + it->second + "'");
        if (v < lo || v > hi) return Fail(key + " out of range: '" + it->second + "'");
        *value = v;
        return true;
    }

    bool Hex(const std::string& text, size_t digits, const std::string& key, uint64_t* value) {
        if (text.size() != digits ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return Fail(key + " must be " + std::to_string(digits) + " hex digits: '" + text + "'");
        *value = std::stoull(text, nullptr, 16);
        return true;
    }

    bool Id(const std::map<std::string, std::string>& f, const std::string& key, uint64_t* id) {
        const auto it = f.find(key);
        if (it == f.end()) return Fail("missing " + key);
        return Hex(it->second, 12, key, id);
    }

  private:
    int line_;
    ConfigError* error_;
};

struct PendingCouple {
    CouplingConfig coupling;
    int line;
};

}  // namespace

std::string ConfigError::Text() const {
    return "line " + std::to_string(line) + ": " + message;
}

bool ParseBusConfig(std::string_view text, BusConfig* config, ConfigError* error) {
    BusConfig out;
    std::map<uint64_t, DeviceConfig::Kind> ids;
    std::vector<PendingCouple> couples;
    std::set<std::string> serials;
    int line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        LineParser p(line_no, error);
        std::vector<std::string> words;
        if (!p.Tokens(line, &words)) return false;
        if (words.empty()) continue;

        std::map<std::string, std::string> f;
        const std::string& what = words[0];
        if (what.find('=') != std::string::npos) {  // a setting of the whole bus
            if (!p.Fields(words, 0, "the bus", {"latency_ms", "seed"}, &f)) return false;
            int64_t latency = out.latency_ms, seed = int64_t(out.seed);
            if (!p.Integer(f, "latency_ms", 0, 1000, &latency) ||
                !p.Integer(f, "seed", 0, INT64_MAX, &seed))
                return false;
            out.latency_ms = int(latency);
            out.seed = uint64_t(seed);
            continue;
        }

        auto current_bridge = [&]() -> BridgeConfig& {
            if (out.bridges.empty()) {  // devices before any bridge line: the default bridge
                out.bridges.emplace_back();
                serials.insert(out.bridges.back().serial);
            }
            return out.bridges.back();
        };
        auto add_device = [&](DeviceConfig d) {
            if (ids.count(d.id48)) return p.Fail("duplicate id " + f["id"]);
            ids[d.id48] = d.kind;
            current_bridge().devices.push_back(d);
            return true;
        };
        auto thermal = [&](DeviceConfig* d) {
            double phase_deg = 0;
            if (!p.Number(f, "temp", -55, 125, &d->thermal.base_c) ||
                !p.Number(f, "swing", 0, 100, &d->thermal.swing_c) ||
                !p.Number(f, "period", 1e-3, 1e9, &d->thermal.period_s) ||
                !p.Number(f, "phase", -360, 360, &phase_deg) ||
                !p.Number(f, "noise", 0, 10, &d->thermal.noise_c))
                return false;
            d->thermal.phase_rad = phase_deg * std::numbers::pi / 180.0;
            return true;
        };

        if (what == "bridge") {
            if (!p.Fields(words, 1, what, {"serial", "description", "open", "type"}, &f))
                return false;
            BridgeConfig b;
            b.serial = "KALVO" + std::string(out.bridges.size() < 9 ? "00" : "0") +
                       std::to_string(out.bridges.size() + 1);
            if (f.count("serial")) b.serial = f["serial"];
            if (f.count("description")) b.description = f["description"];
            if (b.serial.empty() || b.serial.size() > 15)
                return p.Fail("serial must be 1 to 15 characters");
            if (b.description.size() > 63) return p.Fail("description longer than 63 characters");
            if (serials.count(b.serial)) return p.Fail("duplicate serial " + b.serial);
            if (f.count("open")) {
                if (f["open"] != "fail" && f["open"] != "ok")
                    return p.Fail("open must be fail or ok: '" + f["open"] + "'");
                b.open_fails = f["open"] == "fail";
            }
            int64_t type = b.type;
            if (!p.Integer(f, "type", 0, UINT32_MAX, &type)) return false;
            b.type = uint32_t(type);
            serials.insert(b.serial);
            out.bridges.push_back(b);
        } else if (what == "ds18b20") {
            if (!p.Fields(words, 1, what,
                          {"id", "temp", "swing", "period", "phase", "noise", "resolution"}, &f))
                return false;
            DeviceConfig d;
            d.kind = DeviceConfig::Kind::kDs18b20;
            d.family = kFamilyDs18b20;
            int64_t resolution = 12;
            if (!p.Id(f, "id", &d.id48) || !thermal(&d) ||
                !p.Integer(f, "resolution", 9, 12, &resolution))
                return false;
            d.resolution = int(resolution);
            if (!add_device(d)) return false;
        } else if (what == "ds1820") {
            if (!p.Fields(words, 1, what, {"id", "temp", "swing", "period", "phase", "noise"}, &f))
                return false;
            DeviceConfig d;
            d.kind = DeviceConfig::Kind::kDs1820;
            d.family = kFamilyDs1820;
            if (!p.Id(f, "id", &d.id48) || !thermal(&d) || !add_device(d)) return false;
        } else if (what == "ds2413") {
            if (!p.Fields(words, 1, what, {"id"}, &f)) return false;
            DeviceConfig d;
            d.kind = DeviceConfig::Kind::kDs2413;
            d.family = kFamilyDs2413;
            if (!p.Id(f, "id", &d.id48) || !add_device(d)) return false;
        } else if (what == "device") {
            if (!p.Fields(words, 1, what, {"family", "id"}, &f)) return false;
            DeviceConfig d;
            uint64_t family = 0;
            if (!f.count("family")) return p.Fail("missing family");
            if (!p.Hex(f["family"], 2, "family", &family) || !p.Id(f, "id", &d.id48)) return false;
            if (family == kFamilyDs18b20 || family == kFamilyDs1820 || family == kFamilyDs2413)
                return p.Fail("family " + f["family"] + " has its own statement");
            d.family = uint8_t(family);
            if (!add_device(d)) return false;
        } else if (what == "couple") {
            if (!p.Fields(words, 1, what, {"switch", "channel", "sensor", "rate"}, &f))
                return false;
            PendingCouple c{{}, line_no};
            if (!p.Id(f, "switch", &c.coupling.switch_id48) ||
                !p.Id(f, "sensor", &c.coupling.sensor_id48))
                return false;
            if (!f.count("channel")) return p.Fail("missing channel");
            if (f["channel"] != "A" && f["channel"] != "B" && f["channel"] != "a" &&
                f["channel"] != "b")
                return p.Fail("channel must be A or B: '" + f["channel"] + "'");
            c.coupling.channel = (f["channel"] == "A" || f["channel"] == "a") ? 0 : 1;
            if (!f.count("rate")) return p.Fail("missing rate");
            if (!p.Number(f, "rate", -100, 100, &c.coupling.rate_c_per_min)) return false;
            couples.push_back(c);
        } else {
            return p.Fail("unknown statement '" + what + "'");
        }
    }

    // Couplings may name devices declared further down.
    for (const auto& c : couples) {
        LineParser p(c.line, error);
        const auto sw = ids.find(c.coupling.switch_id48);
        const auto sensor = ids.find(c.coupling.sensor_id48);
        if (sw == ids.end()) return p.Fail("couple names a missing switch");
        if (sw->second != DeviceConfig::Kind::kDs2413) return p.Fail("couple switch is no ds2413");
        if (sensor == ids.end()) return p.Fail("couple names a missing sensor");
        if (sensor->second != DeviceConfig::Kind::kDs18b20 &&
            sensor->second != DeviceConfig::Kind::kDs1820)
            return p.Fail("couple sensor is no thermometer");
        out.couplings.push_back(c.coupling);
    }
    if (out.bridges.empty()) out.bridges.emplace_back();
    *config = std::move(out);
    return true;
}

bool LoadBusConfig(const std::string& path, BusConfig* config, ConfigError* error) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    if (in) text << in.rdbuf();
    if (!in || in.bad()) {
        if (error) *error = {0, "cannot read " + path};
        return false;
    }
    return ParseBusConfig(text.str(), config, error);
}

BusConfig DefaultBusConfig() {
    BusConfig config;
    ParseBusConfig(kDefaultBus, &config, nullptr);
    return config;
}

void BuildWorld(const BusConfig& config, World& world) {
    std::map<uint64_t, RomCode> codes;
    for (const auto& b : config.bridges) {
        const int index = world.AddBridge(b.serial, b.description, b.type, b.open_fails);
        for (const auto& d : b.devices) {
            RomCode code = 0;
            switch (d.kind) {
                case DeviceConfig::Kind::kDs18b20:
                    code = world.AddDs18b20(index, d.id48, d.thermal, d.resolution);
                    break;
                case DeviceConfig::Kind::kDs1820:
                    code = world.AddDs1820(index, d.id48, d.thermal);
                    break;
                case DeviceConfig::Kind::kDs2413:
                    code = world.AddDs2413(index, d.id48);
                    break;
                case DeviceConfig::Kind::kOther:
                    code = world.AddDevice(index, d.family, d.id48);
                    break;
            }
            codes[d.id48] = code;
        }
    }
    for (const auto& c : config.couplings)
        world.Couple(codes[c.switch_id48], c.channel, codes[c.sensor_id48], c.rate_c_per_min);
    if (config.latency_ms >= 0) world.SetLatencyMs(config.latency_ms);
}

std::unique_ptr<World> MakeWorld(const BusConfig& config, Clock& clock) {
    auto world = std::make_unique<World>(clock, config.seed);
    BuildWorld(config, *world);
    return world;
}

}  // namespace kalvo::sim
