// pelora-sim: the emulated Pelora 1D on a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "sim/PtyServer.h"

namespace {

int stopPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe[1], &byte, 1);
}

const char* Usage =
    "usage: pelora-sim [options]\n"
    "  --serial N                serial number (default 4711)\n"
    "  --version XX              code version, two characters (default 1B)\n"
    "  --revision N              code revision byte (default 0)\n"
    "  --model-key TEXT          model key, first word of the identification (default PELORA)\n"
    "  --id-text TEXT            identification text verbatim (does not follow updates)\n"
    "  --memory-size N           512 or 1024 blocks (default 512)\n"
    "  --profile-blocks N        logbook blocks (default 40)\n"
    "  --wrapped-profile         logbook wrapped round (end pointer below start pointer)\n"
    "  --auto-wake SECONDS       leave Deep Sleep after this long (default: never)\n"
    "  --restart-seconds S[,S2]  silence after closing region 1 (S) and region 2 (S2);\n"
    "                            one value sets both (default 5)\n"
    "  --keep-memory             a commit keeps logbook, header record and clock (by\n"
    "                            default new code starts on an empty memory)\n"
    "  --wire-timing             10 bits per byte at 38400 baud\n"
    "  --latency-timer MS        the cable's chip: replies in 62-byte packets, a shorter\n"
    "                            rest held until its latency timer (1..255 ms) runs out\n"
    "                            (default 0: replies pass whole)\n"
    "  --fault SPEC              scripted fault, repeatable (see below and sim/README.md)\n"
    "  --dump-memory FILE        write the data memory to FILE at exit\n";

bool ToInt(const std::string& text, int* value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ToSeconds(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(*value) && *value >= 0;
}

// "S" or "S,S2": the restart time after region 1 and after region 2.
bool ToRestartSeconds(const std::string& text, sim::DeviceConfig* config) {
    const auto comma = text.find(',');
    double first = 0, second = 0;
    if (!ToSeconds(text.substr(0, comma), &first)) return false;
    if (comma != std::string::npos && !ToSeconds(text.substr(comma + 1), &second)) return false;
    config->restartSeconds = first;
    config->restartSeconds2 = comma == std::string::npos ? first : second;
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "pelora-sim: " << message << "\n" << Usage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    sim::DeviceConfig config;
    std::vector<std::string> faults;
    std::string dumpFile;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << Usage << sim::Faults::Usage();
            return 0;
        }
        if (option == "--keep-memory") {
            config.keepMemoryOnCommit = true;
            continue;
        }
        if (option == "--wire-timing") {
            config.wireTiming = true;
            continue;
        }
        if (option == "--wrapped-profile") {
            config.wrappedProfile = true;
            continue;
        }
        if (i + 1 >= argc) return Fail("option " + option + " needs a value");
        const std::string value = argv[++i];
        int n = 0;
        double s = 0;
        if (option == "--serial") {
            if (!ToInt(value, &n) || n < 0 || n > 999999) return Fail("bad serial number " + value);
            config.serialNumber = n;
        } else if (option == "--version") {
            if (value.size() != 2) return Fail("the version has two characters: " + value);
            config.codeVersion = value;
        } else if (option == "--revision") {
            if (!ToInt(value, &n) || n < 0 || n > 255) return Fail("bad revision " + value);
            config.revision = n;
        } else if (option == "--model-key") {
            if (value.empty()) return Fail("empty model key");
            config.modelKey = value;
        } else if (option == "--id-text") {
            config.idText = value;
        } else if (option == "--memory-size") {
            if (!ToInt(value, &n) || (n != 512 && n != 1024)) return Fail("memory size is 512 or 1024: " + value);
            config.memorySize = n;
        } else if (option == "--profile-blocks") {
            if (!ToInt(value, &n) || n < 0) return Fail("bad block count " + value);
            config.profileBlocks = n;
        } else if (option == "--auto-wake") {
            if (!ToSeconds(value, &s)) return Fail("bad seconds " + value);
            config.autoWakeSeconds = s;
        } else if (option == "--restart-seconds") {
            if (!ToRestartSeconds(value, &config)) return Fail("bad restart seconds " + value);
        } else if (option == "--latency-timer") {
            if (!ToInt(value, &n) || n < 0 || n > 255) return Fail("latency timer is 0 to 255 ms: " + value);
            config.latencyTimer = n / 1000.0;
        } else if (option == "--fault") {
            faults.push_back(value);
        } else if (option == "--dump-memory") {
            dumpFile = value;
        } else {
            return Fail("unknown option " + option);
        }
    }

    sim::Device device(config);
    for (const auto& spec : faults) {
        std::string error;
        if (!device.Faults().Apply(spec, &error)) return Fail(error);
    }

    if (pipe(stopPipe) != 0) return Fail("cannot create a pipe");
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::PtyServer server(device);
    std::string error;
    if (!server.Open(&error)) {
        std::cerr << "pelora-sim: " << error << "\n";
        return 1;
    }
    std::cout << server.SlavePath() << std::endl;  // the first line, flushed: callers wait for it

    server.Serve(stopPipe[0]);

    if (!dumpFile.empty()) {
        std::ofstream out(dumpFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(device.Memory().data()),
                  static_cast<std::streamsize>(device.Memory().size()));
        if (!out) {
            std::cerr << "pelora-sim: cannot write " << dumpFile << "\n";
            return 1;
        }
    }
    return 0;
}
