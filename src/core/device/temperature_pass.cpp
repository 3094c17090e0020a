// The temperature pass: one broadcast conversion, then one scratchpad read per thermometer.
//
// A sensor that never finishes its conversion holds every read slot after CONVERT T low, and no
// command asks a sensor whether it is still converting without starting a new conversion.
// So: the broadcast is polled up to the longest conversion time plus a margin. When that
// overruns, a sensor whose register changed since the last pass has converted; the others are
// suspects and their samples are invalid. A lone suspect is the one holding the line. Several
// are told apart in the next passes, each converting one of them on its own (MATCH ROM +
// CONVERT T) right after the broadcast and polling it alone: the others convert meanwhile, and
// that poll is the pass's wait. A sensor found stuck is polled so every other pass until it
// converts again; in the passes between, one other sensor is polled, so that a second sensor
// stuck meanwhile is found too. When nothing listed holds the line, the conversion is waited for
// by the clock.
#include <algorithm>

#include "core/common/colour.h"
#include "core/device/one_wire_bus.h"
#include "core/device/registers.h"

namespace kalvo {
namespace {

bool Contains(const std::vector<RomCode>& list, RomCode code) {
    return std::find(list.begin(), list.end(), code) != list.end();
}

void Remove(std::vector<RomCode>& list, RomCode code) {
    list.erase(std::remove(list.begin(), list.end(), code), list.end());
}

}  // namespace

bool COneWireBus::IsStuck(RomCode code) const {
    return Contains(stuck_, code);
}

bool COneWireBus::IsSuspect(RomCode code) const {
    return Contains(suspects_, code);
}

int64_t COneWireBus::LongestConversionMs() const {
    int64_t longest = 0;
    for (RomCode code : thermometers_) {
        if (IsStuck(code)) continue;
        const auto it = sensors_.find(code);
        longest =
            std::max(longest, it == sensors_.end() ? kFullConversionMs : it->second.conversion_ms);
    }
    return longest;
}

bool COneWireBus::PollUntil(int64_t deadline_ms) {
    // Sensors hold the line low in read slots until their conversion is done.
    const uint64_t failures = link_.DriverFailures();
    for (;;) {
        const uint8_t echo = WriteSlot(0xFF);
        if (link_.DriverFailures() != failures) return false;
        if (echo == 0xFF) return true;
        if (clock_->NowMs() > deadline_ms) return false;
    }
}

bool COneWireBus::WaitConversion(int64_t sent_ms, int64_t conversion_ms, int64_t deadline_ms) {
    if (bytewise_) return PollUntil(deadline_ms);
    // A read slot answers 1 once no sensor converts any more; a few slots in one exchange.
    constexpr size_t kPollSlots = 8;
    const uint64_t failures = link_.DriverFailures();
    const int64_t ready = std::min(sent_ms + conversion_ms, deadline_ms);
    if (const int64_t now = clock_->NowMs(); now < ready) clock_->SleepMs(ready - now);
    for (;;) {
        std::vector<uint8_t> slots(kPollSlots, 0xFF);
        SlotExchange(slots);
        if (link_.DriverFailures() != failures) return false;
        if (std::find(slots.begin(), slots.end(), 0xFF) != slots.end()) return true;
        if (clock_->NowMs() > deadline_ms) return false;
    }
}

bool COneWireBus::LineFailed() const {
    return last_echo_ != LineEcho::kPresence || link_.DriverFailures() != pass_driver_failures_ ||
           !link_.LastEchoComplete();
}

COneWireBus::Conversion COneWireBus::Convert(int64_t t0) {
    Conversion c;
    if (holder_unlisted_ && ++clock_passes_ >= kRecheckPasses) {
        c.recheck = true;
        holder_unlisted_ = false;
        clock_passes_ = 0;
    }
    std::vector<RomCode> others;
    for (RomCode code : thermometers_)
        if (!IsStuck(code)) others.push_back(code);
    if (!suspects_.empty()) {
        c.wait = Wait::kProbe;
        c.probe = suspects_.front();
    } else if (!stuck_.empty()) {
        c.wait = Wait::kProbe;
        const unsigned turn = probe_turn_++;
        c.probe = turn % 2 == 0 || others.empty() ? stuck_[(turn / 2) % stuck_.size()]
                                                  : others[(turn / 2) % others.size()];
    } else if (holder_unlisted_) {
        c.wait = Wait::kClock;
    }

    // Without a poll of their own, sensors get their longest conversion and the margin.
    const int64_t deadline = t0 + LongestConversionMs() + kConversionMarginMs;
    if (c.wait == Wait::kPoll) {
        c.overran = !WaitConversion(convert_sent_ms_, LongestConversionMs(), deadline);
    } else if (c.wait == Wait::kProbe) {
        if (!Transaction(c.probe, {kConvertT})) {
            // Not addressed: it tells nothing this time.
            if (LineFailed()) c.failed = true;
            c.probe = 0;
        } else {
            const auto it = sensors_.find(c.probe);
            const int64_t own = it == sensors_.end() ? kFullConversionMs : it->second.conversion_ms;
            c.probe_done =
                WaitConversion(sent_ms_, own, clock_->NowMs() + own + kConversionMarginMs);
        }
    }
    if (c.failed || link_.DriverFailures() != pass_driver_failures_) {
        c.failed = true;
        return c;
    }
    if (c.wait != Wait::kPoll && clock_->NowMs() < deadline)
        clock_->SleepMs(deadline - clock_->NowMs());
    // A line still held at the deadline may be the line itself, not a sensor.
    if ((c.overran || (c.probe && !c.probe_done)) && (!Reset() || LineFailed())) c.failed = true;
    return c;
}

COneWireBus::Conversion COneWireBus::ConvertEach() {
    Conversion c;
    c.wait = Wait::kClock;
    int64_t last_sent = -1;
    for (RomCode code : thermometers_) {
        if (IsStuck(code)) continue;
        if (Transaction(code, {kConvertT})) {
            last_sent = sent_ms_;
            continue;
        }
        if (LineFailed()) {
            c.failed = true;
            return c;
        }
        c.unaddressed.push_back(code);
    }
    // Nobody converts: the line is noise, not one cable.
    if (last_sent < 0 || link_.DriverFailures() != pass_driver_failures_) {
        c.failed = true;
        return c;
    }
    const int64_t ready = last_sent + LongestConversionMs() + kConversionMarginMs;
    if (const int64_t now = clock_->NowMs(); now < ready) clock_->SleepMs(ready - now);
    return c;
}

bool COneWireBus::ReadScratchpad(RomCode code, Scratchpad& pad, PadVerdict& verdict) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Transaction(code, {kReadScratchpad}, pad, true)) {
            if (LineFailed()) {
                if (attempt == 1) return false;
            } else {
                verdict = PadVerdict::kNoAnswer;
                Count(code, &SensorHealth::missing_answers);
            }
            continue;
        }
        verdict = JudgeScratchpad(FamilyOf(code), pad);
        switch (verdict) {
            case PadVerdict::kReading:
                return true;
            case PadVerdict::kPowerOn:  // reading it again gives the same
                Count(code, &SensorHealth::power_on_values);
                return true;
            case PadVerdict::kLowPower:
                Count(code, &SensorHealth::low_power_values);
                return true;
            case PadVerdict::kNoAnswer:
                Count(code, &SensorHealth::missing_answers);
                break;
            case PadVerdict::kCrcError:
                Count(code, &SensorHealth::crc_failures);
                break;
        }
    }
    return true;
}

bool COneWireBus::Fresh(const Conversion& c, RomCode code, bool changed) const {
    if (c.probe == code) return c.probe_done;
    if (IsStuck(code)) return false;
    switch (c.wait) {
        case Wait::kPoll:
            // A recheck that overruns again: the holder is still the one outside the list.
            return !c.overran || c.recheck || changed;
        case Wait::kProbe:
            return !IsSuspect(code) || changed;
        case Wait::kClock:
            return true;
    }
    return false;
}

void COneWireBus::Settle(const Conversion& c, const std::vector<RomCode>& unproven,
                         const std::vector<RomCode>& changed) {
    if (c.wait == Wait::kPoll && c.overran) {
        if (c.recheck || unproven.empty()) {
            holder_unlisted_ = true;  // every listed sensor converted
        } else if (unproven.size() == 1) {
            stuck_.push_back(unproven[0]);
            Count(unproven[0], &SensorHealth::overran_conversions);
        } else {
            suspects_ = unproven;
        }
    } else if (c.wait == Wait::kProbe) {
        const bool searching = !suspects_.empty();
        if (c.probe && c.probe_done) {
            Remove(stuck_, c.probe);
            Remove(suspects_, c.probe);
        } else if (c.probe) {
            Count(c.probe, &SensorHealth::overran_conversions);
            if (!IsStuck(c.probe)) stuck_.push_back(c.probe);
            // The holder is found; the other suspects only had steady readings.
            if (IsSuspect(c.probe)) suspects_.clear();
        }
        // A register that changed was converted: not the holder.
        for (RomCode code : changed) Remove(suspects_, code);
        if (searching && suspects_.empty() && stuck_.empty()) holder_unlisted_ = true;
    }
    PublishStuck();
}

int32_t COneWireBus::MeasureAll() {
    if (thermometers_.empty()) return kMeasureNotDone;
    ++pass_number_;
    cut_pass_samples_ = 0;
    pass_driver_failures_ = link_.DriverFailures();
    // Codes that left the list after an inventory.
    std::erase_if(stuck_, [&](RomCode s) { return !Contains(thermometers_, s); });
    std::erase_if(suspects_, [&](RomCode s) { return !Contains(thermometers_, s); });
    // A broadcast whose echo stays disturbed on a line that answers is noise on some cable:
    // the sensors are then told one by one, so the noise costs the sensors it hits, not the pass.
    const bool broadcast = Transaction(0, {kConvertT});
    if (!broadcast && LineFailed()) return FailPass();
    convert_sent_ms_ = sent_ms_;

    SampleRecord record;
    record.rom = 0;
    record.temperature = 0.0;
    record.valid = 0;
    const int64_t pass_time = NowSeconds();
    cut_pass_time_ = pass_time;
    const Conversion conversion = broadcast ? Convert(clock_->NowMs()) : ConvertEach();
    if (conversion.failed) return FailPass();

    std::vector<RomCode> unproven, changed;
    Scratchpad pad{};
    for (size_t i = 0; i < thermometers_.size(); ++i) {
        const RomCode code = thermometers_[i];
        const int row = int(i);
        uint32_t colour = 0;
        record.name.clear();
        if (thermometer_table_) {
            if (thermometer_table_->ThermometerRowExists(row))
                colour = thermometer_table_->ThermometerColour(row);
            record.name = thermometer_table_->ThermometerName(row);
        }
        record.colour = ColorrefToArgb(colour);

        PadVerdict verdict = PadVerdict::kNoAnswer;
        if (!ReadScratchpad(code, pad, verdict)) return FailPass();
        // Only a register that changed since the pass just before proves a conversion in this
        // one.
        SensorState& state = sensors_[code];
        bool is_changed = false;
        if (verdict == PadVerdict::kReading) {
            const std::array<uint8_t, 3> now{pad[0], pad[1], pad[6]};
            is_changed =
                state.read_in != 0 && state.read_in + 1 == pass_number_ && now != state.last;
            state.read_in = pass_number_;
            state.last = now;
            state.conversion_ms = ConversionMs(FamilyOf(code), pad[4]);
        }
        const bool unaddressed = Contains(conversion.unaddressed, code);
        const bool fresh = !unaddressed && Fresh(conversion, code, is_changed);
        if (is_changed) changed.push_back(code);
        if (!fresh && !unaddressed && !IsStuck(code) && conversion.probe != code)
            unproven.push_back(code);
        if (verdict == PadVerdict::kReading && fresh) {
            record.temperature = ScratchpadCelsius(FamilyOf(code), pad);
            record.valid = 1;
        } else {
            record.valid = 0;  // keeps the temperature of the previous sensor of this pass
        }
        record.rom = code;
        record.time = pass_time;
        pending_.push_back(record);
        ++cut_pass_samples_;
    }
    cut_pass_samples_ = 0;
    Settle(conversion, unproven, changed);
    PassCompleted();
    return 1;
}

void COneWireBus::RecordMissedPass() {
    // A pass that failed half-way is completed with its own time stamp.
    const size_t from = cut_pass_samples_ < thermometers_.size() ? cut_pass_samples_ : 0;
    SampleRecord record;
    record.time = from > 0 ? cut_pass_time_ : NowSeconds();
    record.valid = 0;
    for (size_t i = from; i < thermometers_.size(); ++i) {
        uint32_t colour = 0;
        record.name.clear();
        if (thermometer_table_) {
            if (thermometer_table_->ThermometerRowExists(int(i)))
                colour = thermometer_table_->ThermometerColour(int(i));
            record.name = thermometer_table_->ThermometerName(int(i));
        }
        record.colour = ColorrefToArgb(colour);
        record.rom = thermometers_[i];
        pending_.push_back(record);
    }
    cut_pass_samples_ = 0;
}

int32_t COneWireBus::FailPass() {
    BusFault kind;
    const bool dead =
        SelectedHandle() == NOT_OPEN || link_.DriverFailures() != pass_driver_failures_;
    if (dead || last_echo_ == LineEcho::kLost || !link_.LastEchoComplete())
        kind = BusFault::kBridgeLost;
    else if (last_echo_ == LineEcho::kNobody)
        kind = BusFault::kNoPresence;
    else
        kind = BusFault::kLineLow;  // held low, or a slot that did not pass
    last_failure_ = int(kind);
    const int failed = ++failed_passes_;
    if (dead || failed >= kFaultPasses) fault_ = int(kind);
    return 0;
}

void COneWireBus::PassCompleted() {
    last_failure_ = int(BusFault::kNone);
    failed_passes_ = 0;
    fault_ = int(BusFault::kNone);
}

bool COneWireBus::TakeLatest(SampleList& out) const {
    const size_t n = thermometers_.size();
    if (n == 0 || pending_.size() < n) return false;
    out.assign(pending_.end() - std::ptrdiff_t(n), pending_.end());
    return true;
}

// ---- health, shared with other threads ----

void COneWireBus::PublishInventory() {
    std::lock_guard lock(health_mutex_);
    std::vector<SensorHealth> list;
    for (RomCode code : thermometers_) {
        const auto it = std::find_if(health_.begin(), health_.end(),
                                     [&](const SensorHealth& h) { return h.rom == code; });
        list.push_back(it != health_.end() ? *it : SensorHealth{.rom = code});
    }
    health_ = std::move(list);
}

void COneWireBus::Count(RomCode code, uint32_t SensorHealth::*counter) {
    std::lock_guard lock(health_mutex_);
    for (SensorHealth& h : health_)
        if (h.rom == code) ++(h.*counter);
}

void COneWireBus::PublishStuck() {
    std::lock_guard lock(health_mutex_);
    for (SensorHealth& h : health_) h.stuck = IsStuck(h.rom);
}

std::vector<SensorHealth> COneWireBus::Health() const {
    std::lock_guard lock(health_mutex_);
    return health_;
}

SensorHealth COneWireBus::HealthOf(RomCode code) const {
    std::lock_guard lock(health_mutex_);
    for (const SensorHealth& h : health_)
        if (h.rom == code) return h;
    return SensorHealth{.rom = code};
}

std::vector<RomCode> COneWireBus::StuckSensors() const {
    std::lock_guard lock(health_mutex_);
    std::vector<RomCode> out;
    for (const SensorHealth& h : health_)
        if (h.stuck) out.push_back(h.rom);
    return out;
}

}  // namespace kalvo
