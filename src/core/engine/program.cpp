#include "core/engine/program.h"

#include <utility>

#include "core/archive/day_archive.h"
#include "core/common/message_box.h"
#include "core/common/paths.h"

namespace kalvo {

Program::Program(const D2xxApi& api, EngineOptions options)
    : bus_(api),
      start_day_file_(options.archive_root.empty() ? std::string()
                                                   : BuildDayPaths(options.archive_root).day_file),
      engine_(bus_, thermometers_, switches_, &scenarios_, std::move(options)) {}

Program::Attachment Program::Attach(EngineHost& host, LiveView* live) {
    engine_.Attach(&host, live);
    attachment_ = ++attachments_made_;
    return Attachment(this, attachment_);
}

Program::Attachment::Attachment(Attachment&& other) noexcept
    : program_(std::exchange(other.program_, nullptr)), id_(std::exchange(other.id_, 0)) {}

Program::Attachment& Program::Attachment::operator=(Attachment&& other) noexcept {
    if (this != &other) {
        End();
        program_ = std::exchange(other.program_, nullptr);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

Program::Attachment::~Attachment() {
    End();
}

void Program::Attachment::End() {
    if (program_ && program_->attachment_ == id_) {
        program_->engine_.Detach();
        program_->attachment_ = 0;
    }
    program_ = nullptr;
    id_ = 0;
}

void Program::StartMeasuring() {
    const std::u16string resumed = engine_.Keeper().Start(scenarios_);
    if (!resumed.empty()) engine_.Announce(resumed);
    engine_.StartMeasuring(true);
}

void Program::PauseMeasuring() {
    engine_.StartMeasuring(false);
    engine_.Keeper().Pause(scenarios_);
}

ScenarioFileResult Program::LoadScenarioFile(const std::string& path) {
    return engine_.Keeper().LoadScenarioFile(scenarios_, path);
}

void Program::RememberScenarioFile(const std::string& path) {
    engine_.Keeper().RememberScenarioFile(path);
}

std::string Program::LastScenarioFile() const {
    return engine_.Keeper().LastScenarioFile();
}

ScenarioFileResult Program::ReloadLastScenarioFile() {
    const std::string path = LastScenarioFile();
    if (path.empty()) return {false, u""};
    return LoadScenarioFile(path);
}

std::string PrepareProgramArchive(const std::string& root) {
    std::string prepared = PrepareArchive(root);
    if (prepared.empty()) ShowMessageBox(u"Error", u"Невозможно создать папку приложения appdata");
    return prepared;
}

std::string PrepareProgramArchive() {
    return PrepareProgramArchive(ArchiveRoot());
}

}  // namespace kalvo
