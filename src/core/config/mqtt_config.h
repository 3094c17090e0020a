#pragma once
// The [mqtt] section of kalvo.ini: where and how the program publishes.
#include <string>
#include <string_view>
#include <vector>

#include "core/config/kalvo_ini.h"

namespace kalvo {

struct MqttConfig {
    bool enabled = false;  // a host is given
    std::string host;
    int port = 1883;
    std::string node;  // [a-z0-9_-]
    std::string user;
    std::string password;     // read from password_file; never written anywhere
    std::string tls_ca_file;  // set: TLS to the broker
    bool discovery = true;
    std::string discovery_prefix = "homeassistant";
};

// Reads [mqtt]. No section or no host: disabled. A bad value keeps its default and adds a
// warning naming its line; relative file names are taken from the folder of the ini file.
MqttConfig ReadMqttConfig(const KalvoIni& ini, std::vector<std::string>* warnings = nullptr);

// A node name of [a-z0-9_-]: letters lowered, every other character (a whole UTF-8 sequence
// counts as one) becomes '_'. Empty text stays empty.
std::string SanitiseNode(std::string_view text);
// The host name, sanitised; "kalvo" when there is none.
std::string DefaultNode();

}  // namespace kalvo
