#include "core/connect/connections.h"

#include <vector>

#include "core/config/mqtt_config.h"
#include "core/config/rules_ini.h"
#include "core/engine/program.h"
#include "core/publish/mqtt_publisher.h"

namespace kalvo {

Connections::Connections(Program& program, std::string data_folder, StatusSink status)
    : program_(program), ini_path_(KalvoIniPath(data_folder)), status_(std::move(status)) {}

Connections::~Connections() {
    Stop();
}

void Connections::Start(int period_s) {
    KalvoIni ini;
    std::string error;
    // A malformed line is reported; the lines that parsed still count.
    if (!ini.Load(ini_path_, &error)) status_(error);
    std::vector<std::string> warnings;
    Rules rules = ReadRules(ini, &warnings);
    const MqttConfig mqtt = ReadMqttConfig(ini, &warnings);
    for (const std::string& warning : warnings) status_(warning);
    {
        std::lock_guard lock(mutex_);
        rules_ = rules;
    }
    program_.SetRules(rules);
    if (!mqtt.enabled || publisher_) return;
    publisher_ = std::make_unique<MqttPublisher>(mqtt, status_, period_s);
    publisher_->Start();
    program_.AddListener(*publisher_);
    listening_ = true;
}

void Connections::Stop() {
    if (!publisher_) return;
    // Off the worker's list first, so no pass arrives at a stopping publisher.
    if (listening_) program_.RemoveListener(*publisher_);
    listening_ = false;
    publisher_->Stop();
}

Rules Connections::CurrentRules() const {
    std::lock_guard lock(mutex_);
    return rules_;
}

bool Connections::SaveRules(const Rules& rules, std::string* why) {
    KalvoIni ini;
    std::string error;
    // A file that does not parse is not rewritten: its unreadable lines would be kept anyway,
    // but the user should mend them knowing where they are.
    if (!ini.Load(ini_path_, &error)) {
        if (why) *why = error;
        return false;
    }
    if (!WriteRules(ini, rules)) {
        if (why) *why = "kalvo.ini: the alarm command cannot be written so that it reads back";
        return false;
    }
    if (!ini.Save(ini_path_, why)) return false;
    {
        std::lock_guard lock(mutex_);
        rules_ = rules;
    }
    program_.SetRules(rules);
    return true;
}

}  // namespace kalvo
