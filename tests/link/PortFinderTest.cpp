// The cable's port: the number in its name, the Windows family and the
// registry row it chooses, and on Windows the registry look-up itself and the
// cable's latency timer beside it.
#include "link/SystemPortFinder.h"
#include "platform/LowLatency.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

using pelora::SystemPortFinder;

namespace {
const std::string kCableKey = "Enum\\FTDIBUS\\VID_0403+PID_F460+20030001A\\0000";
const std::string kSerialMap = "Hardware\\DeviceMap\\SerialComm";
}  // namespace

// "COM" and a number from 1 to 255, nothing after it but a terminator.
TEST(PortDiscovery, PortNumberFollowsTheThreeLetterPrefix)
{
    const std::pair<std::string, int> names[] = {
        {std::string("COM3\0", 5), 3}, {"COM12", 12}, {"COM255", 255}, {"COM0", 0},   {"COM256", 0},
        {"COM300", 0},                 {"COM", 0},    {"COMx", 0},     {"COM3x", 0},  {std::string("\0COM3", 5), 0}};
    for (const auto& [name, number] : names)
        EXPECT_EQ(SystemPortFinder::InterfacePortNumber(name), number) << name;
}

// Platform id, major and minor version name the family; only Windows98 keeps
// the port under the cable's own key (Windows 95 and every later family use
// the serial-port map).
TEST(PortDiscovery, TheWindowsFamilyChoosesTheRegistryRow)
{
    const std::tuple<int, int, int, std::string, std::string, std::string> cases[] = {
        {1, 4, 0, "Windows95", kSerialMap, "\\Device\\VCP0"}, {1, 3, 95, "Windows95", kSerialMap, "\\Device\\VCP0"},
        {1, 4, 10, "Windows98", kCableKey, "PortName"},      {1, 4, 90, "Windows98", kCableKey, "PortName"},
        {1, 6, 0, "Windows98", kCableKey, "PortName"},       {1, 5, 1, "Windows2000", kSerialMap, "\\Device\\VCP0"},
        {2, 10, 0, "WindowsNT", kSerialMap, "\\Device\\VCP0"}, {0, 3, 1, "WindowsNT", kSerialMap, "\\Device\\VCP0"},
        {3, 4, 10, "", kSerialMap, "\\Device\\VCP0"}};
    for (const auto& [platform, major, minor, family, key, value] : cases) {
        SCOPED_TRACE(std::to_string(platform) + " " + std::to_string(major) + "." + std::to_string(minor));
        EXPECT_EQ(SystemPortFinder::OSVersionName(platform, major, minor), family);
        const pelora::RegistryRow row = SystemPortFinder::RegistryRowFor(family);
        EXPECT_EQ(std::pair(std::string(row.Key), std::string(row.ValueName)), std::pair(key, value));
    }
}

#ifdef _WIN32

namespace {

// Writes (or, for a null value, removes) one registry value the finder reads.
void SetValue(const std::string& key, const std::string& name, DWORD type, const std::string* value)
{
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                              nullptr),
              ERROR_SUCCESS);
    if (value)
        ASSERT_EQ(RegSetValueExA(handle, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value->data()),
                                 static_cast<DWORD>(value->size())),
                  ERROR_SUCCESS);
    else
        RegDeleteValueA(handle, name.c_str());
    RegCloseKey(handle);
}

}  // namespace

// Each family reads its own row and only that one: the port names that count,
// those that do not, a value of another type, a missing value or key.
TEST(PortDiscovery, TheRegistryGivesTheCablesPort)
{
    const std::string dword("\x03\0\0\0", 4);
    const std::tuple<std::string, DWORD, std::string, std::string> values[] = {
        {"COM1", REG_SZ, std::string("COM1\0", 5), "COM1"},     {"COM12", REG_SZ, std::string("COM12\0", 6), "COM12"},
        {"COM255", REG_SZ, std::string("COM255\0", 7), "COM255"}, {"no NUL", REG_SZ, "COM7", "COM7"},
        {"COM0", REG_SZ, std::string("COM0\0", 5), ""},         {"COM256", REG_SZ, std::string("COM256\0", 7), ""},
        {"COM", REG_SZ, std::string("COM\0", 4), ""},           {"COMX", REG_SZ, std::string("COMX\0", 5), ""},
        {"a number", REG_DWORD, dword, ""},
        {"a list", REG_MULTI_SZ, std::string("COM3\0\0", 6), ""}};
    for (const std::string family : {"Windows98", "Windows95", "WindowsNT"}) {
        const pelora::RegistryRow row = SystemPortFinder::RegistryRowFor(family);
        const pelora::RegistryRow other = SystemPortFinder::RegistryRowFor(family == "Windows98" ? "" : "Windows98");
        SystemPortFinder finder([family] { return family; });
        for (const auto& [what, type, value, port] : values) {
            SCOPED_TRACE(family + ", " + what);
            SetValue(row.Key, row.ValueName, type, &value);
            EXPECT_EQ(finder.FindInterfacePort().value_or(""), port);
            SetValue(row.Key, row.ValueName, type, nullptr);
            SetValue(other.Key, other.ValueName, type, &value);
            EXPECT_EQ(finder.FindInterfacePort(), std::nullopt) << "read the other family's row";
            SetValue(other.Key, other.ValueName, type, nullptr);
        }
    }
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Enum\\FTDIBUS"), ERROR_SUCCESS);
    EXPECT_EQ(SystemPortFinder([] { return std::string("Windows98"); }).FindInterfacePort(), std::nullopt)
        << "without the cable's key";
    // This Windows (Wine) names itself a family; the real query reads its row.
    EXPECT_EQ(SystemPortFinder::GetOSVersion(), "WindowsNT");
}

// The timer comes from the cable's entry for the port being opened, never
// from another cable's or another device's; above 4 ms the note says how to
// lower it.
TEST(PortDiscovery, TheRegistryGivesTheTimerOfTheCableOnThePort)
{
    const std::string bus = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
    const std::string parameters = "\\0000\\Device Parameters";
    const std::string lower = ", which holds back every short reply; lower it in the Device Manager: Ports (COM & LPT), "
                              "COM7, Properties, Port Settings, Advanced, Latency Timer (msec): 1";
    const std::string none = "serial port: no latency timer found for COM7 in the registry; used as it is";
    const std::tuple<const char*, DWORD, std::string> rows[] = {
        {"COM7", 1, "serial port: the cable's latency timer is 1 ms"},
        {"COM7", 4, "serial port: the cable's latency timer is 4 ms"},
        {"COM7", 5, "serial port: the cable's latency timer is 5 ms" + lower},
        {"COM7", 16, "serial port: the cable's latency timer is 16 ms" + lower},
        {"COM8", 16, none},
        {nullptr, 0, none}};
    for (const auto& [port, timer, note] : rows) {
        SCOPED_TRACE(port ? port : "no entry");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, bus.c_str());
        // Another cable first, and another device of the chip's maker on COM7.
        const std::tuple<const char*, const char*, DWORD> entries[] = {
            {"VID_0403+PID_F460+A0000001", "COM9", 2}, {"VID_0403+PID_6001+B0000002", "COM7", 3},
            {"VID_0403+PID_F460+FT000001A", port, timer}};
        for (const auto& [key, name, ms] : entries) {
            if (!name) continue;
            const std::string portName = std::string(name) + '\0';
            const std::string timerValue(reinterpret_cast<const char*>(&ms), sizeof ms);
            SetValue(bus + "\\" + key + parameters, "PortName", REG_SZ, &portName);
            SetValue(bus + "\\" + key + parameters, "LatencyTimer", REG_DWORD, &timerValue);
        }
        EXPECT_EQ(pelora::ReadLatencyTimer("COM7"), note);
    }
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, bus.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(pelora::ReadLatencyTimer("COM7"), none) << "without the bus's key";
}

#endif
