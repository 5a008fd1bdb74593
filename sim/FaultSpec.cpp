// The command-line syntax of the faults: NAME[:ITEM[,ITEM...]], ITEM = VALUE
// or KEY=VALUE; bare values fill the fault's positional keys in order.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>

#include "sim/Faults.h"

namespace sim {
namespace {

using Arm = std::function<void(Faults&)>;

struct Syntax {
    std::vector<std::string> positional;  // in order
    std::vector<std::string> named;       // only as KEY=VALUE
};

const std::map<std::string, Syntax>& Syntaxes() {
    static const std::map<std::string, Syntax> syntaxes = {
        {"unplug", {{}, {"frame", "at", "for"}}},
        {"reject", {{"tag", "count"}, {"skip"}}},
        {"drop", {{"count"}, {"tag", "skip"}}},
        {"chunks", {{"size", "gap"}, {}}},
        {"latency", {{"seconds"}, {}}},
        {"stray", {{"period", "bytes"}, {}}},
        {"powerloss", {{"block", "off"}, {"frame"}}},
        {"norestart", {{}, {}}},
        {"model", {{"key"}, {}}},
        {"version", {{"version", "revision"}, {}}},
        {"oldcode", {{}, {}}},
        {"badcell", {{"address", "mask"}, {}}},
        {"delay", {{}, {"frame", "by"}}},
        {"corrupt", {{"tag", "count"}, {"skip", "at", "bytes", "mask"}}},
        {"short", {{"tag", "count", "bytes"}, {"skip"}}},
        {"long", {{"tag", "count", "bytes"}, {"skip"}}},
        {"noise", {{"tag", "count", "bytes"}, {"skip"}}},
        {"afterrestart", {{}, {}}},  // its value is a whole spec
    };
    return syntaxes;
}

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

struct ParsedSpec {
    std::string name;
    std::map<std::string, std::string> values;
};

bool Split(const std::string& spec, ParsedSpec* parsed, std::string* error) {
    const auto colon = spec.find(':');
    parsed->name = Lower(spec.substr(0, colon));
    const auto known = Syntaxes().find(parsed->name);
    if (known == Syntaxes().end()) {
        *error = "unknown fault '" + parsed->name + "'";
        return false;
    }
    if (colon == std::string::npos) return true;
    const Syntax& syntax = known->second;
    std::size_t next = 0;
    const std::string rest = spec.substr(colon + 1);
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        const auto comma = rest.find(',', pos);
        const std::string item = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const auto eq = item.find('=');
        if (eq != std::string::npos) {
            const std::string key = Lower(item.substr(0, eq));
            const auto& p = syntax.positional;
            const auto& n = syntax.named;
            if (std::find(p.begin(), p.end(), key) == p.end() && std::find(n.begin(), n.end(), key) == n.end()) {
                *error = "fault '" + parsed->name + "' has no value '" + key + "'";
                return false;
            }
            parsed->values[key] = item.substr(eq + 1);
        } else if (next < syntax.positional.size()) {
            parsed->values[syntax.positional[next++]] = item;
        } else {
            *error = "too many values for fault '" + parsed->name + "'";
            return false;
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

Arm Parse(const std::string& spec, std::string* error) {
    ParsedSpec p;
    if (Lower(spec.substr(0, spec.find(':'))) == "afterrestart") {
        const auto colon = spec.find(':');
        if (colon == std::string::npos) {
            *error = "fault 'afterrestart' needs a fault, e.g. afterrestart:model:NAVIX";
            return {};
        }
        Arm inner = Parse(spec.substr(colon + 1), error);
        if (!inner) return {};
        return [inner](Faults& f) { f.AfterRestart(inner); };
    }
    if (!Split(spec, &p, error)) return {};

    auto bad = [&](const std::string& key) -> Arm {
        *error = "fault '" + p.name + "': bad " + key + " '" + p.values[key] + "'";
        return {};
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
    auto hexValue = [&](const std::string& key, std::vector<std::uint8_t>* out) {
        *out = {0xFF};
        return !has(key) || ParseHexBytes(p.values[key], out);
    };
    // FRAME; the reply changes also take "any", as a drop without a tag does.
    std::optional<FrameTag> tag;
    if (has("tag") && !(Lower(p.values["tag"]) == "any" && p.name != "reject" && p.name != "drop")) {
        FrameTag t = 0;
        if (!ParseTag(p.values["tag"], &t)) return bad("tag");
        tag = t;
    }
    int count = 1, skip = 0;
    if (!intValue("count", 1, &count)) return bad("count");
    if (!intValue("skip", 0, &skip)) return bad("skip");

    const std::string& name = p.name;
    if (name == "unplug") {
        double duration = Forever, at = 0;
        int frame = 1;
        if (!secondsValue("for", Forever, &duration)) return bad("for");
        if (has("at") && has("frame")) {
            *error = "fault 'unplug' takes frame=N or at=T, not both";
            return {};
        }
        if (has("at")) {
            if (!secondsValue("at", 0, &at)) return bad("at");
            return [=](Faults& f) { f.UnplugAt(at, duration); };
        }
        if (!intValue("frame", 1, &frame) || frame < 1) return bad("frame");
        return [=](Faults& f) { f.UnplugAtFrame(frame, duration); };
    }
    if (name == "reject" || name == "drop") {
        if (name == "reject" && !tag) {
            *error = "fault 'reject' needs a frame, e.g. reject:B5-data,3";
            return {};
        }
        if (name == "reject") return [=](Faults& f) { f.Reject(*tag, count, skip); };
        return [=](Faults& f) { f.DropReplies(count, tag, skip); };
    }
    if (name == "corrupt" || name == "short" || name == "long" || name == "noise") {
        if (!has("tag")) {
            *error = "fault '" + name + "' needs a frame or 'any', e.g. " + name + ":B4,1";
            return {};
        }
        if (name == "corrupt") {
            int at = 0, bytes = 1, mask = 0x01;
            if (has("at") && !ParseInt(p.values["at"], &at)) return bad("at");
            if (!intValue("bytes", 1, &bytes) || bytes < 1) return bad("bytes");
            if (has("mask") && (!ParseInt(p.values["mask"], &mask, 16) || mask < 1 || mask > 0xFF))
                return bad("mask");
            return [=](Faults& f) { f.CorruptReplies(tag, count, skip, at, bytes, static_cast<std::uint8_t>(mask)); };
        }
        if (name == "short") {
            int bytes = 1;
            if (!intValue("bytes", 1, &bytes) || bytes < 1) return bad("bytes");
            return [=](Faults& f) { f.ShortReplies(tag, count, skip, bytes); };
        }
        std::vector<std::uint8_t> bytes;
        if (!hexValue("bytes", &bytes)) return bad("bytes");
        if (name == "long") return [=](Faults& f) { f.LongReplies(tag, count, skip, bytes); };
        return [=](Faults& f) { f.NoiseBeforeReplies(tag, count, bytes, skip); };
    }
    if (name == "delay") {
        int frame = 0;
        double by = 0;
        if (!has("frame") || !intValue("frame", 1, &frame) || frame < 1) return bad("frame");
        if (!has("by") || !secondsValue("by", 0, &by)) return bad("by");
        return [=](Faults& f) { f.DelayReplyToFrame(frame, by); };
    }
    if (name == "chunks") {
        int size = 1;
        double gap = 0.005;
        if (!intValue("size", 1, &size) || size < 1) return bad("size");
        if (!secondsValue("gap", 0.005, &gap)) return bad("gap");
        return [=](Faults& f) { f.ChunkReplies(size, gap); };
    }
    if (name == "latency") {
        double seconds = 0;
        if (!has("seconds") || !secondsValue("seconds", 0, &seconds)) return bad("seconds");
        return [=](Faults& f) { f.SetLatency(seconds); };
    }
    if (name == "stray") {
        double period = 0.5;
        std::vector<std::uint8_t> bytes;
        if (!secondsValue("period", 0.5, &period) || period <= 0) return bad("period");
        if (!hexValue("bytes", &bytes)) return bad("bytes");
        return [=](Faults& f) { f.StrayWhileIdle(period, bytes); };
    }
    if (name == "powerloss") {
        int n = 1;
        double off = 5.0;
        if (!secondsValue("off", 5.0, &off)) return bad("off");
        if (has("frame") && has("block")) {
            *error = "fault 'powerloss' takes a code block N or frame=N, not both";
            return {};
        }
        if (has("frame")) {
            if (!intValue("frame", 1, &n) || n < 1) return bad("frame");
            return [=](Faults& f) { f.PowerLossAtFrame(n, off); };
        }
        if (!intValue("block", 1, &n) || n < 1) return bad("block");
        return [=](Faults& f) { f.PowerLossAfterCodeBlock(n, off); };
    }
    if (name == "norestart") return [](Faults& f) { f.NoReturnFromRestart(); };
    if (name == "oldcode") return [](Faults& f) { f.CodeNotTaken(); };
    if (name == "model") {
        if (!has("key") || p.values["key"].empty()) return bad("key");
        const std::string key = p.values["key"];
        return [=](Faults& f) { f.AnotherModel(key); };
    }
    if (name == "version") {
        if (!has("version") || p.values["version"].size() != 2) return bad("version");
        int revision = -1;
        if (has("revision") && (!ParseInt(p.values["revision"], &revision) || revision < 0 || revision > 255))
            return bad("revision");
        const std::string version = p.values["version"];
        return [=](Faults& f) { f.CodeVersion(version, revision); };
    }
    // badcell
    int address = 0, mask = 0xFF;
    if (!has("address") || !ParseInt(p.values["address"], &address) || address < 0) return bad("address");
    if (has("mask") && (!ParseInt(p.values["mask"], &mask, 16) || mask < 1 || mask > 0xFF)) return bad("mask");
    return [=](Faults& f) { f.BadCell(address, static_cast<std::uint8_t>(mask)); };
}

}  // namespace

std::vector<std::string> Faults::Names() {
    std::vector<std::string> names;
    for (const auto& [name, syntax] : Syntaxes()) names.push_back(name);
    return names;
}

const char* Faults::Usage() {
    return "faults (--fault SPEC; FRAME is a command byte in hex, B5-data for the data after a header,\n"
           "or any; frame counts start when the fault is armed):\n"
           "  unplug[:frame=N][,at=T][,for=S]  cable pulled from frame N (default 1) or time T, for S s\n"
           "  reject:FRAME,N[,skip=M]          after M such frames, the next N get A5 and do nothing\n"
           "  drop[:N][,tag=FRAME][,skip=M]    the next N replies (to FRAME) lost after the device acted\n"
           "  delay:frame=N,by=S               the reply to frame N leaves S s late, later ones behind it\n"
           "  corrupt:FRAME,N[,skip=M][,at=I][,bytes=K][,mask=HEX]\n"
           "                                   after M such frames, the replies to the next N have K\n"
           "                                   bytes (1) from index I (0; < 0: from the end) XOR HEX (01)\n"
           "  short:FRAME,N[,K][,skip=M]       as corrupt, the replies lack their last K bytes (1)\n"
           "  long:FRAME,N[,HEX][,skip=M]      as corrupt, HEX (FF) follows the replies\n"
           "  noise:FRAME,N[,HEX][,skip=M]     as corrupt, HEX (FF) goes out right before the replies\n"
           "  chunks:K[,GAP]                   replies in pieces of K bytes, GAP s apart (0.005)\n"
           "  latency:S                        replies S s after the request\n"
           "  stray[:PERIOD][,HEX]             while idle, send HEX (FF) every PERIOD s (0.5)\n"
           "  powerloss:N[,off=S]              power lost after the N-th code block, for S s (5)\n"
           "  powerloss:frame=N[,off=S]        power lost after acting on frame N, before its reply\n"
           "  norestart                        a restart never ends\n"
           "  afterrestart:SPEC                arm fault SPEC when the device is back from its next\n"
           "                                   restart (afterrestart:norestart: only the 2nd never ends)\n"
           "  model:KEY                        another model key\n"
           "  version:XX[,revision=N]          older or newer code\n"
           "  oldcode                          the last commit's code not taken: its version and\n"
           "                                   revision go back (afterrestart:oldcode)\n"
           "  badcell:ADDR[,MASK]              data byte ADDR reads back XOR MASK (hex, FF)\n";
}

bool Faults::Apply(const std::string& spec, std::string* error) {
    std::string scratch;
    const Arm arm = Parse(spec, error ? error : &scratch);
    if (!arm) return false;
    arm(*this);
    return true;
}

}  // namespace sim
