// simbus.conf: each line is split into words, its statement looked up in one table that names
// the keys it takes and the function that applies them; a fault's kind, the one word without
// '=', picks its keys from a second table. Couplings and faults are checked at the end, since
// they may name devices declared further down.
#include "drivers/sim/sim_config.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <span>
#include <sstream>

#include "core/common/text.h"

namespace kalvo::sim {
namespace {

// The built-in bus; src/drivers/sim/simbus.conf is the same bus with comments.
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

using Keys = std::span<const std::string_view>;

// One line: its words, its key=value fields, and the error it may end in.
class Line {
  public:
    Line(int number, ConfigError* error) : number_(number), error_(error) {}

    int number() const { return number_; }

    bool Fail(const std::string& message) {
        if (error_) *error_ = {number_, message};
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

    // key=value words from `first` on, each key at most once and one of `allowed`.
    bool ReadFields(const std::vector<std::string>& words, size_t first, std::string_view what,
                    Keys allowed) {
        for (size_t i = first; i < words.size(); ++i) {
            const auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return Fail("expected key=value, found '" + words[i] + "'");
            const std::string key = words[i].substr(0, eq);
            if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
                return Fail("unknown key '" + key + "' for " + std::string(what));
            if (fields_.count(key)) return Fail("duplicate key '" + key + "'");
            fields_[key] = words[i].substr(eq + 1);
        }
        return true;
    }

    bool Has(const std::string& key) const { return fields_.count(key) != 0; }
    // The word without '=' of a statement that takes one (a fault's kind).
    std::string word;
    // The field's text; empty when it is not there.
    const std::string& Value(const std::string& key) const {
        static const std::string kNone;
        const auto it = fields_.find(key);
        return it == fields_.end() ? kNone : it->second;
    }

    // Each of these leaves *value alone when the key is not there.
    bool Number(const std::string& key, double lo, double hi, double* value) {
        if (!Has(key)) return true;
        const std::string& text = Value(key);
        double v = 0;
        if (!ParseDecimal(Utf8ToUtf16(text), &v) || !std::isfinite(v))
            return Fail("bad number for " + key + ": '" + text + "'");
        if (v < lo || v > hi) return Fail(key + " out of range: '" + text + "'");
        *value = v;
        return true;
    }

    bool Integer(const std::string& key, int64_t lo, int64_t hi, int64_t* value) {
        if (!Has(key)) return true;
        const std::string& text = Value(key);
        int64_t v = 0;
        if (!ParseInteger(Utf8ToUtf16(text), &v))
            return Fail("bad number for " + key + ": '" + text + "'");
        if (v < lo || v > hi) return Fail(key + " out of range: '" + text + "'");
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

    // A 48-bit id; required.
    bool Id(const std::string& key, uint64_t* id) {
        if (!Has(key)) return Fail("missing " + key);
        return Hex(Value(key), 12, key, id);
    }

  private:
    int number_;
    ConfigError* error_;
    std::map<std::string, std::string> fields_;
};

struct PendingCouple {
    CouplingConfig coupling;
    int line;
};

struct PendingFault {
    FaultConfig fault;
    int line;
};

// What the statements read so far have built.
struct Reader {
    BusConfig out;
    std::map<uint64_t, DeviceConfig::Kind> ids;
    std::vector<PendingCouple> couples;
    std::vector<PendingFault> faults;
    std::set<std::string> serials;

    BridgeConfig& CurrentBridge() {
        if (out.bridges.empty()) {  // devices before any bridge line: the default bridge
            out.bridges.emplace_back();
            serials.insert(out.bridges.back().serial);
        }
        return out.bridges.back();
    }

    bool AddDevice(Line& line, const DeviceConfig& d) {
        if (ids.count(d.id48)) return line.Fail("duplicate id " + line.Value("id"));
        ids[d.id48] = d.kind;
        CurrentBridge().devices.push_back(d);
        return true;
    }
};

// --- The statements -----------------------------------------------------------------------------

bool ReadThermal(Line& line, DeviceConfig* d) {
    double phase_deg = 0;
    if (!line.Number("temp", -55, 125, &d->thermal.base_c) ||
        !line.Number("swing", 0, 100, &d->thermal.swing_c) ||
        !line.Number("period", 1e-3, 1e9, &d->thermal.period_s) ||
        !line.Number("phase", -360, 360, &phase_deg) ||
        !line.Number("noise", 0, 10, &d->thermal.noise_c))
        return false;
    d->thermal.phase_rad = phase_deg * std::numbers::pi / 180.0;
    return true;
}

bool BusSettings(Line& line, Reader& r) {
    int64_t latency = r.out.latency_ms, seed = int64_t(r.out.seed);
    if (!line.Integer("latency_ms", 0, 1000, &latency) ||
        !line.Integer("seed", 0, INT64_MAX, &seed))
        return false;
    r.out.latency_ms = int(latency);
    r.out.seed = uint64_t(seed);
    return true;
}

bool Bridge(Line& line, Reader& r) {
    BridgeConfig b;
    const size_t n = r.out.bridges.size() + 1;
    b.serial = "KALVO" + std::string(n < 10 ? "00" : "0") + std::to_string(n);
    if (line.Has("serial")) b.serial = line.Value("serial");
    if (line.Has("description")) b.description = line.Value("description");
    if (b.serial.empty() || b.serial.size() > 15)
        return line.Fail("serial must be 1 to 15 characters");
    if (b.description.size() > 63) return line.Fail("description longer than 63 characters");
    if (r.serials.count(b.serial)) return line.Fail("duplicate serial " + b.serial);
    if (line.Has("open")) {
        const std::string& open = line.Value("open");
        if (open != "fail" && open != "ok")
            return line.Fail("open must be fail or ok: '" + open + "'");
        b.open_fails = open == "fail";
    }
    int64_t type = b.type;
    if (!line.Integer("type", 0, UINT32_MAX, &type)) return false;
    b.type = uint32_t(type);
    r.serials.insert(b.serial);
    r.out.bridges.push_back(b);
    return true;
}

bool Ds18b20(Line& line, Reader& r) {
    DeviceConfig d;
    d.kind = DeviceConfig::Kind::kDs18b20;
    d.family = kFamilyDs18b20;
    int64_t resolution = 12;
    if (!line.Id("id", &d.id48) || !ReadThermal(line, &d) ||
        !line.Integer("resolution", 9, 12, &resolution))
        return false;
    d.resolution = int(resolution);
    return r.AddDevice(line, d);
}

bool Ds1820(Line& line, Reader& r) {
    DeviceConfig d;
    d.kind = DeviceConfig::Kind::kDs1820;
    d.family = kFamilyDs1820;
    return line.Id("id", &d.id48) && ReadThermal(line, &d) && r.AddDevice(line, d);
}

bool Ds2413(Line& line, Reader& r) {
    DeviceConfig d;
    d.kind = DeviceConfig::Kind::kDs2413;
    d.family = kFamilyDs2413;
    return line.Id("id", &d.id48) && r.AddDevice(line, d);
}

bool OtherDevice(Line& line, Reader& r) {
    DeviceConfig d;
    uint64_t family = 0;
    if (!line.Has("family")) return line.Fail("missing family");
    if (!line.Hex(line.Value("family"), 2, "family", &family) || !line.Id("id", &d.id48))
        return false;
    if (family == kFamilyDs18b20 || family == kFamilyDs1820 || family == kFamilyDs2413)
        return line.Fail("family " + line.Value("family") + " has its own statement");
    d.family = uint8_t(family);
    return r.AddDevice(line, d);
}

bool Couple(Line& line, Reader& r) {
    PendingCouple c{{}, line.number()};
    if (!line.Id("switch", &c.coupling.switch_id48) || !line.Id("sensor", &c.coupling.sensor_id48))
        return false;
    if (!line.Has("channel")) return line.Fail("missing channel");
    const std::string& channel = line.Value("channel");
    if (channel != "A" && channel != "B" && channel != "a" && channel != "b")
        return line.Fail("channel must be A or B: '" + channel + "'");
    c.coupling.channel = (channel == "A" || channel == "a") ? 0 : 1;
    if (!line.Has("rate")) return line.Fail("missing rate");
    if (!line.Number("rate", -100, 100, &c.coupling.rate_c_per_min)) return false;
    r.couples.push_back(c);
    return true;
}

// A fault kind: its word, the keys it takes, and the devices it may name (null: none).
struct FaultKindRow {
    std::string_view name;
    FaultKind kind;
    Keys keys;
    const char* needs;  // the devices it needs, for the error; null for any device
};

constexpr std::string_view kDeviceFaultKeys[] = {"at", "for", "id"};
constexpr std::string_view kInstantFaultKeys[] = {"at", "id"};
constexpr std::string_view kNoiseFaultKeys[] = {"at", "for", "id", "rate"};
constexpr std::string_view kBridgeFaultKeys[] = {"at", "for"};

constexpr FaultKindRow kFaultKinds[] = {
    {"gone", FaultKind::kGone, kDeviceFaultKeys, nullptr},
    {"never-converts", FaultKind::kNeverConverts, kDeviceFaultKeys, "a ds18b20 or ds1820"},
    {"crc-noise", FaultKind::kCrcNoise, kNoiseFaultKeys, nullptr},
    {"power-on", FaultKind::kPowerOn, kInstantFaultKeys, "a ds18b20, ds1820 or ds2413"},
    {"low-power", FaultKind::kLowPower, kDeviceFaultKeys, "a ds18b20"},
    {"line-low", FaultKind::kLineLow, kBridgeFaultKeys, nullptr},
    {"unplug", FaultKind::kUnplug, kBridgeFaultKeys, nullptr},
    {"short-reads", FaultKind::kShortReads, kBridgeFaultKeys, nullptr},
};

const FaultKindRow* FindFaultKind(std::string_view name) {
    for (const FaultKindRow& k : kFaultKinds)
        if (k.name == name) return &k;
    return nullptr;
}

const FaultKindRow& RowOf(FaultKind kind) {
    for (const FaultKindRow& k : kFaultKinds)
        if (k.kind == kind) return k;
    return kFaultKinds[0];
}

bool KindFits(FaultKind fault, DeviceConfig::Kind device) {
    using D = DeviceConfig::Kind;
    switch (fault) {
        case FaultKind::kNeverConverts:
            return device == D::kDs18b20 || device == D::kDs1820;
        case FaultKind::kPowerOn:
            return device == D::kDs18b20 || device == D::kDs1820 || device == D::kDs2413;
        case FaultKind::kLowPower:
            return device == D::kDs18b20;
        default:
            return true;
    }
}

bool Fault(Line& line, Reader& r) {
    const FaultKindRow* row = FindFaultKind(line.word);
    FaultConfig f;
    f.kind = row->kind;
    double at_s = 0, for_s = -1;
    if (!line.Has("at")) return line.Fail("missing at");
    if (!line.Number("at", 0, 1e9, &at_s) || !line.Number("for", 1e-3, 1e9, &for_s) ||
        !line.Number("rate", 0, 1, &f.rate))
        return false;
    f.at_ms = std::llround(at_s * 1000);
    f.for_ms = for_s < 0 ? -1 : std::max<int64_t>(1, std::llround(for_s * 1000));
    const bool takes_id = std::find(row->keys.begin(), row->keys.end(), "id") != row->keys.end();
    if (takes_id && (f.kind != FaultKind::kCrcNoise || line.Has("id"))) {
        if (!line.Id("id", &f.id48)) return false;
        f.has_id = true;
    } else {
        r.CurrentBridge();  // a fault of the line belongs to the bridge above it
        f.bridge = int(r.out.bridges.size()) - 1;
    }
    r.faults.push_back({f, line.number()});
    return true;
}

// A statement: the word that starts it, the keys it takes, what it does with them.
struct Statement {
    std::string_view name;
    Keys keys;
    bool (*apply)(Line& line, Reader& r);
};

constexpr std::string_view kBusKeys[] = {"latency_ms", "seed"};
constexpr std::string_view kBridgeKeys[] = {"serial", "description", "open", "type"};
constexpr std::string_view kDs18b20Keys[] = {"id",    "temp",  "swing",     "period",
                                             "phase", "noise", "resolution"};
constexpr std::string_view kDs1820Keys[] = {"id", "temp", "swing", "period", "phase", "noise"};
constexpr std::string_view kDs2413Keys[] = {"id"};
constexpr std::string_view kDeviceKeys[] = {"family", "id"};
constexpr std::string_view kCoupleKeys[] = {"switch", "channel", "sensor", "rate"};

constexpr Statement kStatements[] = {
    {"bridge", kBridgeKeys, Bridge},      {"ds18b20", kDs18b20Keys, Ds18b20},
    {"ds1820", kDs1820Keys, Ds1820},      {"ds2413", kDs2413Keys, Ds2413},
    {"device", kDeviceKeys, OtherDevice}, {"couple", kCoupleKeys, Couple},
};
// `fault`: its kind's row decides its keys.
constexpr Statement kFault{"fault", {}, Fault};
// A line that starts with key=value sets something of the whole bus.
constexpr Statement kBusSettings{"the bus", kBusKeys, BusSettings};

const Statement* Find(std::string_view name) {
    if (name == kFault.name) return &kFault;
    for (const Statement& s : kStatements)
        if (s.name == name) return &s;
    return nullptr;
}

// Takes the fault kind, the one word without '=' after the first, out of `words`.
bool TakeFaultKind(Line& line, std::vector<std::string>& words, std::string* what, Keys* keys) {
    const auto word = std::find_if(words.begin() + 1, words.end(), [](const std::string& w) {
        return w.find('=') == std::string::npos;
    });
    if (word == words.end()) return line.Fail("missing fault kind");
    const FaultKindRow* row = FindFaultKind(*word);
    if (!row) return line.Fail("unknown fault kind '" + *word + "'");
    line.word = *word;
    words.erase(word);
    *what = "fault " + line.word;
    *keys = row->keys;
    return true;
}

}  // namespace

std::string ConfigError::Text() const {
    return "line " + std::to_string(line) + ": " + message;
}

bool ParseBusConfig(std::string_view text, BusConfig* config, ConfigError* error) {
    Reader r;
    int line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view content = text.substr(pos, end - pos);
        pos = end + 1;
        Line line(++line_no, error);
        std::vector<std::string> words;
        if (!line.Tokens(content, &words)) return false;
        if (words.empty()) continue;

        const bool setting = words[0].find('=') != std::string::npos;
        const Statement* statement = setting ? &kBusSettings : Find(words[0]);
        if (!statement) return line.Fail("unknown statement '" + words[0] + "'");
        std::string what(statement->name);
        Keys keys = statement->keys;
        if (statement == &kFault && !TakeFaultKind(line, words, &what, &keys)) return false;
        if (!line.ReadFields(words, setting ? 0 : 1, what, keys) || !statement->apply(line, r))
            return false;
    }

    for (const auto& c : r.couples) {
        Line line(c.line, error);
        const auto sw = r.ids.find(c.coupling.switch_id48);
        const auto sensor = r.ids.find(c.coupling.sensor_id48);
        if (sw == r.ids.end()) return line.Fail("couple names a missing switch");
        if (sw->second != DeviceConfig::Kind::kDs2413)
            return line.Fail("couple switch is no ds2413");
        if (sensor == r.ids.end()) return line.Fail("couple names a missing sensor");
        if (sensor->second != DeviceConfig::Kind::kDs18b20 &&
            sensor->second != DeviceConfig::Kind::kDs1820)
            return line.Fail("couple sensor is no thermometer");
        r.out.couplings.push_back(c.coupling);
    }
    for (const auto& f : r.faults) {
        Line line(f.line, error);
        if (f.fault.has_id) {
            const auto device = r.ids.find(f.fault.id48);
            if (device == r.ids.end()) return line.Fail("fault names a missing device");
            const FaultKindRow& row = RowOf(f.fault.kind);
            if (!KindFits(f.fault.kind, device->second))
                return line.Fail("fault " + std::string(row.name) + " needs " + row.needs);
        }
        r.out.faults.push_back(f.fault);
    }
    if (r.out.bridges.empty()) r.out.bridges.emplace_back();
    *config = std::move(r.out);
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
    std::vector<int> bridges;  // the world's number of each configured bridge
    for (const auto& b : config.bridges) {
        const int index = world.AddBridge(b.serial, b.description, b.type, b.open_fails);
        bridges.push_back(index);
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
    for (const auto& f : config.faults) {
        TimedFault t{.kind = f.kind, .at_ms = f.at_ms, .for_ms = f.for_ms, .rate = f.rate};
        if (f.has_id)
            t.device = codes[f.id48];
        else if (f.bridge >= 0 && f.bridge < int(bridges.size()))
            t.bridge = bridges[size_t(f.bridge)];
        world.ScheduleFault(t);
    }
}

std::unique_ptr<World> MakeWorld(const BusConfig& config, Clock& clock) {
    auto world = std::make_unique<World>(clock, config.seed);
    BuildWorld(config, *world);
    return world;
}

}  // namespace kalvo::sim
