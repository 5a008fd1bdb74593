#include "sim/Faults.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>

#include "sim/Device.h"

namespace sim {

void Faults::UnplugAtFrame(int frame, double duration) {
    unplugAtFrame_.push_back({framesSeen_ + std::max(frame, 1), duration});
}

void Faults::UnplugAt(double time, double duration) { unplugged_.push_back({time, time + duration}); }

void Faults::Reject(FrameTag tag, int count, int skip) { rejects_.push_back({tag, std::max(skip, 0), count}); }

void Faults::DropReplies(int count, std::optional<FrameTag> tag, int skip) {
    drops_.push_back({tag, std::max(skip, 0), count});
}

void Faults::ChunkReplies(int size, double gap) {
    chunkSize_ = std::max(size, 0);
    chunkGap_ = std::max(gap, 0.0);
}

void Faults::SetLatency(double seconds) { latency_ = std::max(seconds, 0.0); }

void Faults::StrayWhileIdle(double period, std::vector<std::uint8_t> bytes) {
    strayPeriod_ = std::max(period, 0.0);
    strayBytes_ = std::move(bytes);
}

void Faults::PowerLossAfterCodeBlock(int n, double offSeconds) {
    powerLossBlock_ = codeBlocksSeen_ + std::max(n, 1);
    powerOffSeconds_ = std::max(offSeconds, 0.0);
}

void Faults::NoReturnFromRestart() { noReturn_ = true; }

void Faults::AnotherModel(const std::string& modelKey) { device_.SetModelKey(modelKey); }

void Faults::CodeVersion(const std::string& version, int revision) {
    device_.SetCodeVersion(version, revision < 0 ? device_.Revision() : revision);
}

void Faults::BadCell(int byteAddress, std::uint8_t mask) { badCells_.emplace_back(byteAddress, mask); }

void Faults::Clear() {
    unplugged_.clear();
    unplugAtFrame_.clear();
    rejects_.clear();
    drops_.clear();
    latency_.reset();
    chunkSize_ = 0;
    chunkGap_ = 0.0;
    strayPeriod_ = 0.0;
    strayBytes_.clear();
    powerLossBlock_ = 0;
    noReturn_ = false;
    badCells_.clear();
}

bool Faults::Unplugged(double time) const {
    return std::any_of(unplugged_.begin(), unplugged_.end(),
                       [time](const Window& w) { return time >= w.from && time < w.to; });
}

bool Faults::OnFrameUnplugs(double time) {
    ++framesSeen_;
    bool unplugs = false;
    for (auto it = unplugAtFrame_.begin(); it != unplugAtFrame_.end();) {
        if (it->frame == framesSeen_) {
            unplugged_.push_back({time, time + it->duration});
            unplugs = true;
            it = unplugAtFrame_.erase(it);
        } else {
            ++it;
        }
    }
    return unplugs;
}

bool Faults::TakeCounted(std::vector<Counted>& plans, FrameTag tag) {
    for (auto& plan : plans) {
        if (plan.count <= 0 || (plan.tag && *plan.tag != tag)) continue;
        if (plan.skip > 0) {
            --plan.skip;
            continue;
        }
        --plan.count;
        return true;
    }
    return false;
}

bool Faults::TakeReject(FrameTag tag) { return TakeCounted(rejects_, tag); }
bool Faults::TakeDrop(FrameTag tag) { return TakeCounted(drops_, tag); }

bool Faults::OnCodeBlockLosesPower() {
    ++codeBlocksSeen_;
    if (powerLossBlock_ != 0 && codeBlocksSeen_ == powerLossBlock_) {
        powerLossBlock_ = 0;
        return true;
    }
    return false;
}

std::uint8_t Faults::ReadMask(int byteAddress) const {
    std::uint8_t mask = 0;
    for (const auto& [address, m] : badCells_)
        if (address == byteAddress) mask ^= m;
    return mask;
}

// --- command-line syntax: NAME[:ITEM[,ITEM...]], ITEM = VALUE or KEY=VALUE;
// bare values fill the fault's positional keys in order.

namespace {

struct ParsedSpec {
    std::string name;
    std::map<std::string, std::string> values;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool ParseInt(const std::string& text, int* value, int base = 10) {
    std::string digits = text;
    if (base == 16 && digits.size() > 2 && (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0))
        digits = digits.substr(2);
    if (digits.empty()) return false;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *value, base);
    return ec == std::errc() && end == digits.data() + digits.size();
}

bool ParseSeconds(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(*value) && *value >= 0;
}

bool ParseTag(const std::string& text, FrameTag* tag) {
    std::string t = Lower(text);
    bool data = false;
    for (const std::string suffix : {"-data", "data"}) {
        if (t.size() > suffix.size() && t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0) {
            t.resize(t.size() - suffix.size());
            data = true;
            break;
        }
    }
    int command = 0;
    if (!ParseInt(t, &command, 16) || command < 0 || command > 0xFF) return false;
    *tag = data ? DataFrame(static_cast<std::uint8_t>(command)) : command;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        if (!ParseInt(text.substr(i, 2), &value, 16)) return false;
        bytes->push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

bool Split(const std::string& spec, const std::map<std::string, std::vector<std::string>>& positional,
           ParsedSpec* parsed, std::string* error) {
    const auto colon = spec.find(':');
    parsed->name = Lower(spec.substr(0, colon));
    const auto known = positional.find(parsed->name);
    if (known == positional.end()) {
        *error = "unknown fault '" + parsed->name + "'";
        return false;
    }
    if (colon == std::string::npos) return true;
    std::size_t next = 0;
    std::string rest = spec.substr(colon + 1);
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        const auto comma = rest.find(',', pos);
        const std::string item = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const auto eq = item.find('=');
        if (eq != std::string::npos) {
            parsed->values[Lower(item.substr(0, eq))] = item.substr(eq + 1);
        } else if (next < known->second.size()) {
            parsed->values[known->second[next++]] = item;
        } else {
            *error = "too many values for fault '" + parsed->name + "'";
            return false;
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

// Each fault's positional keys, in order.
const std::map<std::string, std::vector<std::string>>& Positional() {
    static const std::map<std::string, std::vector<std::string>> positional = {
        {"unplug", {}},
        {"reject", {"tag", "count"}},
        {"drop", {"count"}},
        {"chunks", {"size", "gap"}},
        {"latency", {"seconds"}},
        {"stray", {"period", "bytes"}},
        {"powerloss", {"block", "off"}},
        {"norestart", {}},
        {"model", {"key"}},
        {"version", {"version", "revision"}},
        {"badcell", {"address", "mask"}},
    };
    return positional;
}

}  // namespace

std::vector<std::string> Faults::Names() {
    std::vector<std::string> names;
    for (const auto& [name, keys] : Positional()) names.push_back(name);
    return names;
}

const char* Faults::Usage() {
    return "faults (--fault SPEC; FRAME is a command byte in hex, B5-data for the data after a header):\n"
           "  unplug[:frame=N][,at=T][,for=S]  cable pulled from frame N (default 1) or time T, for S s\n"
           "  reject:FRAME,N[,skip=M]          after M such frames, the next N get A5 and do nothing\n"
           "  drop[:N][,tag=FRAME][,skip=M]    the next N replies (to FRAME) lost after the device acted\n"
           "  chunks:K[,GAP]                   replies in pieces of K bytes, GAP s apart (0.005)\n"
           "  latency:S                        replies S s after the request\n"
           "  stray[:PERIOD][,HEX]             while idle, send HEX (FF) every PERIOD s (0.5)\n"
           "  powerloss:N[,off=S]              power lost after the N-th code block, for S s (5)\n"
           "  norestart                        a restart never ends\n"
           "  model:KEY                        another model key\n"
           "  version:XX[,revision=N]          older or newer code\n"
           "  badcell:ADDR[,MASK]              data byte ADDR reads back XOR MASK (hex, FF)\n";
}

bool Faults::Apply(const std::string& spec, std::string* error) {
    std::string scratch;
    if (!error) error = &scratch;
    const auto& positional = Positional();
    ParsedSpec p;
    if (!Split(spec, positional, &p, error)) return false;
    const auto& allowed = positional.at(p.name);
    static const std::map<std::string, std::vector<std::string>> extraKeys = {
        {"unplug", {"frame", "at", "for"}}, {"reject", {"skip"}}, {"drop", {"tag", "skip"}}};
    for (const auto& [key, value] : p.values) {
        const auto extra = extraKeys.find(p.name);
        const bool known = std::find(allowed.begin(), allowed.end(), key) != allowed.end() ||
                           (extra != extraKeys.end() &&
                            std::find(extra->second.begin(), extra->second.end(), key) != extra->second.end());
        if (!known) {
            *error = "fault '" + p.name + "' has no value '" + key + "'";
            return false;
        }
    }
    auto bad = [&](const std::string& key) {
        *error = "fault '" + p.name + "': bad " + key + " '" + p.values[key] + "'";
        return false;
    };
    auto has = [&](const std::string& key) { return p.values.count(key) != 0; };
    auto intValue = [&](const std::string& key, int fallback, int* out) {
        *out = fallback;
        return !has(key) || (ParseInt(p.values[key], out) && *out >= 0);
    };
    auto secondsValue = [&](const std::string& key, double fallback, double* out) {
        *out = fallback;
        return !has(key) || ParseSeconds(p.values[key], out);
    };

    if (p.name == "unplug") {
        double duration = Forever;
        if (!secondsValue("for", Forever, &duration)) return bad("for");
        if (has("at")) {
            double at = 0;
            if (!secondsValue("at", 0, &at)) return bad("at");
            UnplugAt(at, duration);
        } else {
            int frame = 1;
            if (!intValue("frame", 1, &frame) || frame < 1) return bad("frame");
            UnplugAtFrame(frame, duration);
        }
    } else if (p.name == "reject" || p.name == "drop") {
        std::optional<FrameTag> tag;
        if (has("tag")) {
            FrameTag t = 0;
            if (!ParseTag(p.values["tag"], &t)) return bad("tag");
            tag = t;
        } else if (p.name == "reject") {
            *error = "fault 'reject' needs a frame, e.g. reject:B5-data,3";
            return false;
        }
        int count = 1, skip = 0;
        if (!intValue("count", 1, &count)) return bad("count");
        if (!intValue("skip", 0, &skip)) return bad("skip");
        if (p.name == "reject") Reject(*tag, count, skip);
        else DropReplies(count, tag, skip);
    } else if (p.name == "chunks") {
        int size = 1;
        double gap = 0.005;
        if (!intValue("size", 1, &size) || size < 1) return bad("size");
        if (!secondsValue("gap", 0.005, &gap)) return bad("gap");
        ChunkReplies(size, gap);
    } else if (p.name == "latency") {
        double seconds = 0;
        if (!has("seconds") || !secondsValue("seconds", 0, &seconds)) return bad("seconds");
        SetLatency(seconds);
    } else if (p.name == "stray") {
        double period = 0.5;
        std::vector<std::uint8_t> bytes = {0xFF};
        if (!secondsValue("period", 0.5, &period) || period <= 0) return bad("period");
        if (has("bytes") && !ParseHexBytes(p.values["bytes"], &bytes)) return bad("bytes");
        StrayWhileIdle(period, bytes);
    } else if (p.name == "powerloss") {
        int block = 1;
        double off = 5.0;
        if (!intValue("block", 1, &block) || block < 1) return bad("block");
        if (!secondsValue("off", 5.0, &off)) return bad("off");
        PowerLossAfterCodeBlock(block, off);
    } else if (p.name == "norestart") {
        NoReturnFromRestart();
    } else if (p.name == "model") {
        if (!has("key") || p.values["key"].empty()) return bad("key");
        AnotherModel(p.values["key"]);
    } else if (p.name == "version") {
        if (!has("version") || p.values["version"].size() != 2) return bad("version");
        int revision = -1;
        if (has("revision") && (!ParseInt(p.values["revision"], &revision) || revision < 0 || revision > 255))
            return bad("revision");
        CodeVersion(p.values["version"], revision);
    } else if (p.name == "badcell") {
        int address = 0, mask = 0xFF;
        if (!has("address") || !ParseInt(p.values["address"], &address) || address < 0) return bad("address");
        if (has("mask") && (!ParseInt(p.values["mask"], &mask, 16) || mask < 1 || mask > 0xFF)) return bad("mask");
        BadCell(address, static_cast<std::uint8_t>(mask));
    }
    return true;
}

}  // namespace sim
