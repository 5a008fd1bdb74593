// The device's state and its answers to requests; the line side is in DeviceLine.cpp.
#include "sim/Device.h"

#include <algorithm>

#include "sim/Memory.h"

namespace sim {
namespace {

int FromBcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }
bool IsBcd(std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; }

}  // namespace

Device::Device(DeviceConfig config)
    : config_(std::move(config)), faults_(*this), chip_(config_.latencyTimer) {
    // The pointers in block 0 are encoded for these two sizes only.
    config_.memorySize = config_.memorySize == 1024 ? 1024 : 512;
    config_.serialNumber = std::clamp(config_.serialNumber, 0, 999999);
    config_.codeVersion.resize(2, '0');
    config_.revision &= 0xFF;
    beforeCommit_ = {config_.codeVersion, config_.revision};
    memory_ = BuildMemory(config_.memorySize, config_.serialNumber, config_.profileBlocks, config_.wrappedProfile,
                          config_.logbookSeed);
}

// --- identification

std::string Device::IdText() const {
    if (config_.idText) {
        std::string text = *config_.idText;
        text.resize(16, ' ');
        return text;
    }
    // Three blank-separated fields and no trailing blank: model key, then a
    // word ending in the code version, then the hardware field, which is
    // shortened or lengthened to make exactly 16 characters.
    std::string key = config_.modelKey;
    std::string second = "1D-V" + config_.codeVersion;
    std::string third = "H2";
    auto length = [&] { return key.size() + second.size() + third.size() + 2; };
    while (length() > 16 && third.size() > 1) third.pop_back();
    while (length() > 16 && second.size() > 2) second.erase(0, 1);
    if (length() > 16) key.resize(16 - 2 - second.size() - third.size());
    while (length() < 16) third.push_back('0');
    return key + " " + second + " " + third;
}

void Device::SetModelKey(const std::string& key) { config_.modelKey = key; }

void Device::SetCodeVersion(const std::string& version, int revision) {
    config_.codeVersion = version;
    config_.codeVersion.resize(2, '0');
    config_.revision = revision & 0xFF;
}

const std::map<int, std::vector<std::uint8_t>>& Device::HeldCode(int region) const {
    return held_[region == 2 ? 1 : 0];
}

const std::map<int, std::vector<std::uint8_t>>& Device::CommittedCode(int region) const {
    return committed_[region == 2 ? 1 : 0];
}

// --- commands

std::vector<std::uint8_t> Device::Serve(double time, FrameTag tag, const std::vector<std::uint8_t>& frame,
                                        Expect data) {
    if (tag >= 0x100) return ServeData(time, frame, data);
    const int value = frame.size() >= 4 ? frame[1] * 256 + frame[2] : 0;
    switch (tag) {
    case 0x84: {
        std::vector<std::uint8_t> reply{Ack};
        const std::string text = IdText();
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(ByteSum(reply.data() + 1, 16));
        return reply;
    }
    case 0xA8:
        if (frame[1] == 0x55) {
            pendingMode_ = {Mode::DeepSleep, config_.autoWakeSeconds > 0 ? config_.autoWakeSeconds : Forever};
            return {Ack};
        }
        return {frame[1] == 0x99 ? Ack : Nak};
    case 0xBA: return {Ack, static_cast<std::uint8_t>(config_.revision)};
    case 0xB4: return ReadBlock(value);
    case 0xB2: case 0xB5: case 0xB7: return ServeHeader(static_cast<std::uint8_t>(tag), value);
    case 0xB6: return CloseRegion(1, value);
    case 0xB9: return CloseRegion(2, value);
    case 0xB8:
        code2Word_ = value;
        return {Ack};
    case 0x97:
        expect_ = Expect::ClockData;
        return {Ack};
    default: return {};
    }
}

std::vector<std::uint8_t> Device::ReadBlock(int unit) const {
    if (unit + 8 > DataUnits()) return {Nak};
    std::vector<std::uint8_t> reply{Ack};
    for (int i = 0; i < BlockBytes; ++i) {
        const int address = unit * 16 + i;
        reply.push_back(static_cast<std::uint8_t>(memory_[static_cast<std::size_t>(address)] ^ faults_.ReadMask(address)));
    }
    return reply;
}

// The address map: data memory is units 0..DataUnits()-1. Profile blocks
// travel with their address minus 16; everything else a 0xB5 header names is
// region-1 code, and 0xB7 always names region-2 code.
std::vector<std::uint8_t> Device::ServeHeader(std::uint8_t command, int address) {
    switch (command) {
    case 0xB2:
        if (address >= DataUnits()) return {Nak};
        expect_ = Expect::RecordData;
        dataAddress_ = address;
        return {Ack};
    case 0xB5:
        if (address + 16 < DataUnits()) {
            // A profile block must fit wholly into data memory.
            if (address + 16 + 8 > DataUnits()) return {Nak};
            expect_ = Expect::ProfileData;
            dataAddress_ = address + 16;
        } else {
            expect_ = Expect::Code1Data;
            dataAddress_ = address;
        }
        return {Ack};
    default:  // 0xB7
        if (address < DataUnits()) return {Nak};
        expect_ = Expect::Code2Data;
        dataAddress_ = address;
        return {Ack};
    }
}

std::vector<std::uint8_t> Device::ServeData(double time, const std::vector<std::uint8_t>& frame, Expect kind) {
    switch (kind) {
    case Expect::RecordData:
        if (ByteSum(frame.data(), 16) != frame[16]) return {Nak};
        std::copy_n(frame.begin(), 16, memory_.begin() + dataAddress_ * 16);
        return {Ack};
    case Expect::ProfileData:
        if (ByteSum(frame.data(), BlockBytes) != frame[BlockBytes]) return {Nak};
        std::copy_n(frame.begin(), BlockBytes, memory_.begin() + dataAddress_ * 16);
        return {Ack};
    case Expect::Code1Data:
    case Expect::Code2Data: {
        // Held by address: a block sent again replaces the earlier copy.
        held_[kind == Expect::Code1Data ? 0 : 1][dataAddress_].assign(frame.begin(), frame.begin() + BlockBytes + 1);
        if (faults_.OnCodeBlockLosesPower()) {
            held_[0].clear();
            held_[1].clear();
            pendingMode_ = {Mode::PoweredOff, faults_.PowerOffSeconds()};
        }
        return {Ack};
    }
    case Expect::ClockData: return SetClockFrom(time, frame);
    case Expect::Command: break;
    }
    return {};
}

std::vector<std::uint8_t> Device::CloseRegion(int region, int value) {
    auto& held = held_[region - 1];
    unsigned sum = 0;
    for (const auto& [address, block] : held) sum += block[BlockBytes];
    if (static_cast<int>(sum % 65536) != value) return {Nak};

    beforeCommit_ = {config_.codeVersion, config_.revision};
    bootsNewCode_ = true;
    // The code carries its own version: bytes 0 and 1 of its lowest block
    // are the version characters, byte 2 the revision.
    if (!held.empty()) {
        const auto& first = held.begin()->second;
        config_.codeVersion = std::string{static_cast<char>(first[0]), static_cast<char>(first[1])};
        config_.revision = first[2];
    }
    committed_[region - 1] = std::move(held);
    held.clear();
    if (!config_.keepMemoryOnCommit) StartOnEmptyMemory();
    ++restarts_;
    const double restart = region == 2 ? config_.restartSeconds2.value_or(config_.restartSeconds)
                                       : config_.restartSeconds;
    pendingMode_ = {Mode::Restarting, faults_.RestartNeverEnds() ? Forever : restart};
    return {Ack};
}

// New code starts with an empty logbook and no time: whatever the program
// does not restore is visibly gone.
void Device::StartOnEmptyMemory() {
    ClearLogbook(memory_, config_.memorySize);
    clock_.reset();
}

std::vector<std::uint8_t> Device::SetClockFrom(double time, const std::vector<std::uint8_t>& record) {
    if (ByteSum(record.data(), 8) != record[8]) return {Nak};
    const std::uint8_t hourByte = record[5];
    const bool afternoon = (hourByte & 0x80) != 0;
    const std::uint8_t hour12 = hourByte & 0x7F;
    bool valid = IsBcd(record[0]) && IsBcd(record[1]) && IsBcd(record[2]) && IsBcd(record[3]) &&
                 IsBcd(record[4]) && IsBcd(hour12);
    DeviceClock c;
    c.year = FromBcd(record[0]);
    c.day = FromBcd(record[1]);
    c.month = FromBcd(record[2]);
    c.second = FromBcd(record[3]);
    c.minute = FromBcd(record[4]);
    const int h = FromBcd(hour12);
    c.hour = afternoon ? (h == 12 ? 12 : h + 12) : h;
    c.flag = record[6];
    c.setAt = time;
    valid = valid && c.day >= 1 && c.day <= 31 && c.month >= 1 && c.month <= 12 && c.second <= 59 &&
            c.minute <= 59 && h <= 12 && !(afternoon && h == 0);
    // A record that passes its check is acknowledged; only a sensible one
    // sets the clock.
    if (valid) clock_ = c;
    return {Ack};
}

}  // namespace sim
