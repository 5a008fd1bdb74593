// The cable's port: the number in its name, the Windows family and the
// registry row it chooses, and on Windows the registry look-up itself.
#include "link/SystemPortFinder.h"

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
    const std::tuple<int, int, int, std::string> cases[] = {
        {1, 4, 0, "Windows95"},  {1, 3, 95, "Windows95"},   {1, 4, 10, "Windows98"}, {1, 4, 90, "Windows98"},
        {1, 6, 0, "Windows98"},  {1, 5, 1, "Windows2000"},  {2, 10, 0, "WindowsNT"}, {0, 3, 1, "WindowsNT"},
        {3, 4, 10, ""}};
    for (const auto& [platform, major, minor, family] : cases) {
        SCOPED_TRACE(std::to_string(platform) + " " + std::to_string(major) + "." + std::to_string(minor));
        EXPECT_EQ(SystemPortFinder::OSVersionName(platform, major, minor), family);
        const pelora::RegistryRow row = SystemPortFinder::RegistryRowFor(family);
        EXPECT_EQ(std::pair(std::string(row.Key), std::string(row.ValueName)),
                  family == "Windows98" ? std::pair(kCableKey, std::string("PortName"))
                                        : std::pair(kSerialMap, std::string("\\Device\\VCP0")));
    }
}

#ifdef _WIN32

namespace {

// Writes (or, for a null value, removes) one registry value the finder reads.
void SetValue(const std::string& key, const std::string& name, DWORD type, const std::string* value)
{
    if (value)
        ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), type, value->data(),
                                  static_cast<DWORD>(value->size())),
                  ERROR_SUCCESS);
    else
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str());
}

}  // namespace

// Each family reads its own row and only that one: the port names that count,
// those that do not, a value of another type, a missing value or key.
TEST(PortDiscovery, TheRegistryGivesTheCablesPort)
{
    const std::string dword("\x03\0\0\0", 4);
    const std::tuple<std::string, DWORD, std::string, std::string> values[] = {
        {"COM12", REG_SZ, std::string("COM12\0", 6), "COM12"}, {"no NUL", REG_SZ, "COM7", "COM7"},
        {"COM256", REG_SZ, std::string("COM256\0", 7), ""},    {"a number", REG_DWORD, dword, ""},
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

#endif
