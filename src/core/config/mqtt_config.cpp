#include "core/config/mqtt_config.h"

#include <unistd.h>

#include <climits>
#include <fstream>

#include "core/common/text.h"
#include "core/config/config_warning.h"

namespace kalvo {
namespace {

using config_detail::Lower;
using config_detail::Warn;

constexpr char kSection[] = "mqtt";
constexpr const char* kKeys[] = {"host",          "port",        "node",      "user",
                                 "password_file", "tls_ca_file", "discovery", "discovery_prefix"};

std::string Resolve(const KalvoIni& ini, const std::string& name) {
    if (name.empty() || name.front() == '/' || ini.path().empty()) return name;
    const auto slash = ini.path().rfind('/');
    if (slash == std::string::npos) return name;
    return ini.path().substr(0, slash + 1) + name;
}

}  // namespace

std::string SanitiseNode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 && (c & 0xC0) == 0x80) continue;  // the tail of a sequence already replaced
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
            out += char(c);
        else if (c >= 'A' && c <= 'Z')
            out += char(c - 'A' + 'a');
        else
            out += '_';
    }
    return out;
}

std::string DefaultNode() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    const std::string node = SanitiseNode(name);
    return node.empty() ? std::string("kalvo") : node;
}

MqttConfig ReadMqttConfig(const KalvoIni& ini, std::vector<std::string>* warnings) {
    MqttConfig config;
    const auto get = [&](const char* key) { return ini.Get(kSection, key).value_or(""); };
    const auto warn = [&](const char* key, const std::string& text) {
        Warn(warnings, ini, ini.LineOf(kSection, key), std::string("[mqtt] ") + key + ": " + text);
    };
    for (const std::string& key : ini.Keys(kSection)) {
        bool known = false;
        for (const char* k : kKeys) known = known || key == k;
        if (!known) warn(key.c_str(), "unknown key, ignored");
    }

    config.host = get("host");
    config.enabled = !config.host.empty();

    if (const std::string port = get("port"); !port.empty()) {
        int64_t value = 0;
        if (ParseInteger(Utf8ToUtf16(port), &value) && value >= 1 && value <= 65535)
            config.port = int(value);
        else
            warn("port", "'" + port + "' is not a port (1-65535); 1883 is used");
    }

    const std::string node = get("node");
    config.node = SanitiseNode(node);
    if (config.node.empty()) {
        config.node = DefaultNode();
    } else if (config.node != node) {
        warn("node", "'" + node + "' holds characters other than a-z, 0-9, '_' and '-'; '" +
                         config.node + "' is used");
    }

    config.user = get("user");
    if (const std::string file = get("password_file"); !file.empty()) {
        std::ifstream in(Resolve(ini, file), std::ios::binary);
        std::string line;
        if (in && std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            config.password = line;
        } else {
            warn("password_file", "cannot read '" + Resolve(ini, file) + "'; no password is sent");
        }
    }
    if (const std::string ca = get("tls_ca_file"); !ca.empty())
        config.tls_ca_file = Resolve(ini, ca);

    if (const std::string given = get("discovery"); !given.empty()) {
        const std::string text = Lower(given);
        if (text == "true" || text == "yes" || text == "on" || text == "1")
            config.discovery = true;
        else if (text == "false" || text == "no" || text == "off" || text == "0")
            config.discovery = false;
        else
            warn("discovery", "'" + given + "' is neither true nor false; true is used");
    }

    if (const std::string prefix = get("discovery_prefix"); !prefix.empty()) {
        if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
            prefix.back() == '/')
            warn("discovery_prefix",
                 "'" + prefix + "' is not a topic prefix; homeassistant is used");
        else
            config.discovery_prefix = prefix;
    }
    return config;
}

}  // namespace kalvo
