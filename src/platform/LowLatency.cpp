#include "platform/LowLatency.h"

#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#elif defined(_WIN32)
#include <windows.h>

#include <optional>
#endif

namespace pelora {

std::string RequestLowLatency([[maybe_unused]] int fd)
{
#ifdef __linux__
    const std::string port = "serial port: ";
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return port + "its driver offers no low latency (" + std::strerror(errno) + "); used as it is";
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0) return port + "low latency was already on";
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return port + "low latency refused (" + std::strerror(errno) + "); used as it is";
    return port + "low latency on";
#else
    return {};
#endif
}

#ifdef _WIN32
namespace {

// The cable's device parameters, one key per cable by its serial number.
constexpr const char* kFtdiBus = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
constexpr const char* kCableKey = "VID_0403+PID_F460+";
constexpr const char* kParameters = "\\0000\\Device Parameters";

// The timer of one cable's key, when its port is `portName`.
std::optional<DWORD> TimerOnPort(HKEY bus, const std::string& cable, const std::string& portName)
{
    const std::string parameters = cable + kParameters;
    char port[64];
    DWORD portSize = sizeof port;
    DWORD timer = 0;
    DWORD timerSize = sizeof timer;
    if (RegGetValueA(bus, parameters.c_str(), "PortName", RRF_RT_REG_SZ, nullptr, port, &portSize) != ERROR_SUCCESS ||
        _stricmp(port, portName.c_str()) != 0 ||
        RegGetValueA(bus, parameters.c_str(), "LatencyTimer", RRF_RT_REG_DWORD, nullptr, &timer, &timerSize) !=
            ERROR_SUCCESS)
        return std::nullopt;
    return timer;
}

// The timer of the cable whose port is `portName`. Read access is all it
// needs, and all a user without administrator rights gets.
std::optional<DWORD> FindLatencyTimer(const std::string& portName)
{
    HKEY bus = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFtdiBus, 0, KEY_READ, &bus) != ERROR_SUCCESS) return std::nullopt;
    std::optional<DWORD> timer;
    char name[256];
    for (DWORD i = 0; !timer; ++i) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(bus, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (_strnicmp(name, kCableKey, std::strlen(kCableKey)) == 0) timer = TimerOnPort(bus, name, portName);
    }
    RegCloseKey(bus);
    return timer;
}

}  // namespace
#endif

std::string ReadLatencyTimer([[maybe_unused]] const std::string& portName)
{
#ifdef _WIN32
    const std::string port = "serial port: ";
    const std::optional<DWORD> timer = FindLatencyTimer(portName);
    if (!timer) return port + "no latency timer found for " + portName + " in the registry; used as it is";
    std::string note = port + "the cable's latency timer is " + std::to_string(*timer) + " ms";
    // Up to 4 ms costs a whole update only seconds.
    if (*timer > 4)
        note += ", which holds back every short reply; lower it in the Device Manager: Ports (COM & LPT), " +
                portName + ", Properties, Port Settings, Advanced, Latency Timer (msec): 1";
    return note;
#else
    return {};
#endif
}

}  // namespace pelora
