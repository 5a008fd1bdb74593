// The process services the window uses: the process priority, and the
// follow-on program started at close. This program is its own follow-on
// program: started with PELORA_LAUNCH_REPORT set, it writes how it was asked
// to show its window and ends.
#include "platform/ExecutableFolder.h"
#include "platform/Launcher.h"
#include "platform/LocalTime.h"
#include "platform/LowLatency.h"
#include "platform/ProcessPriority.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using pelora::HighPriorityClass, pelora::NormalPriorityClass;

namespace {

constexpr const char* kReportVariable = "PELORA_LAUNCH_REPORT";
std::string programPath;

// What the follow-on program was asked: "maximised" or "as it likes".
std::string ShowRequest()
{
#ifdef _WIN32
    STARTUPINFOA info{};
    info.cb = sizeof(info);
    GetStartupInfoA(&info);
    if ((info.dwFlags & STARTF_USESHOWWINDOW) && info.wShowWindow == SW_SHOWMAXIMIZED) return "maximised";
#endif
    return "as it likes";
}

// The class in force, as the system itself reports it.
std::int32_t PriorityNow()
{
#ifdef _WIN32
    return static_cast<std::int32_t>(GetPriorityClass(GetCurrentProcess()));
#else
    return getpriority(PRIO_PROCESS, 0) < 0 ? HighPriorityClass : NormalPriorityClass;
#endif
}

bool MayRaisePriority()
{
#ifdef _WIN32
    return true;
#else
    return geteuid() == 0;
#endif
}

int CurrentProcessId()
{
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

void SetVariable(const std::string& name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

}  // namespace

#ifdef __linux__
// A port that cannot have low latency is used as it is, and the note says why.
// (The real link's test meets a pseudo-terminal; a cable's driver takes it.)
TEST(LowLatency, APortWithoutItIsUsedAsItIsAndTheNoteSaysWhy)
{
    EXPECT_EQ(pelora::RequestLowLatency(-1),
              "serial port: its driver offers no low latency (Bad file descriptor); used as it is");
}
#endif

#ifdef _WIN32
// The timer comes from the cable's entry for the port being opened, never
// from another cable's or another device's; above 4 ms the note says how to
// lower it.
TEST(LowLatency, TheRegistryGivesTheTimerOfTheCableOnThePort)
{
    const std::string bus = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
    const std::string lower = ", which holds back every short reply; lower it in the Device Manager: Ports (COM & LPT), "
                              "COM7, Properties, Port Settings, Advanced, Latency Timer (msec): 1";
    const std::string none = "serial port: no latency timer found for COM7 in the registry; used as it is";
    const std::tuple<const char*, DWORD, std::string> rows[] = {
        {"COM7", 4, "serial port: the cable's latency timer is 4 ms"},
        {"COM7", 5, "serial port: the cable's latency timer is 5 ms" + lower},
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
            HKEY handle = nullptr;
            const std::string path = bus + "\\" + key + "\\0000\\Device Parameters";
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &handle, nullptr),
                      ERROR_SUCCESS);
            RegSetValueExA(handle, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                           static_cast<DWORD>(std::strlen(name) + 1));
            RegSetValueExA(handle, "LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms), sizeof ms);
            RegCloseKey(handle);
        }
        EXPECT_EQ(pelora::ReadLatencyTimer("COM7"), note);
    }
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, bus.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(pelora::ReadLatencyTimer("COM7"), none) << "without the bus's key";
}
#endif

// Raised to high where the process may, back to normal, and 0 for a process
// that cannot be reached.
TEST(ProcessPriority, HighWhereAllowedNormalAgainAndZeroForNoProcess)
{
    pelora::SystemProcessPriority priority;
    const std::int32_t high = MayRaisePriority() ? HighPriorityClass : NormalPriorityClass;
    const std::tuple<int, std::int32_t, std::int32_t> steps[] = {
        {0, HighPriorityClass, high},
        {0, NormalPriorityClass, NormalPriorityClass},
        {CurrentProcessId(), HighPriorityClass, high},
        {CurrentProcessId(), NormalPriorityClass, NormalPriorityClass},
        {0x7FFFFFF0, HighPriorityClass, 0},
    };
    for (const auto& [process, requested, inForce] : steps) {
        SCOPED_TRACE(std::to_string(process) + " asked " + std::to_string(requested));
        EXPECT_EQ(priority.SetProcessPriority(process, 0, requested), inForce);
#ifdef _WIN32
        if (process != 0x7FFFFFF0) {
            EXPECT_EQ(PriorityNow(), inForce);
        }
#endif
    }
    EXPECT_NE(PriorityNow(), HighPriorityClass) << "left at high priority";
}

// The clock set on the device and the folder the data files are looked for
// in, each against what the system says by another road (strftime does its
// own year and month offsets). A minute may turn between the two readings.
TEST(SystemFacts, LocalTimeAndProgramFolder)
{
    std::string ours, system;
    for (int attempt = 0; attempt < 3 && (ours.empty() || ours != system); ++attempt) {
        const pelora::LocalDateTime now = pelora::SystemLocalTime().Now();
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", now.year, now.month, now.day, now.hour,
                      now.minute);
        ours = text;
        const std::time_t seconds = std::time(nullptr);
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&seconds));
        system = text;
    }
    EXPECT_EQ(ours, system);
    EXPECT_TRUE(fs::equivalent(pelora::ExecutableFolder(), fs::path(programPath).parent_path()))
        << pelora::ExecutableFolder();
}

// The follow-on program starts without the program waiting for it; on
// Windows it is asked to open maximised.
TEST(Launcher, StartsTheFollowOnProgramAndDoesNotWait)
{
    const fs::path report = fs::temp_directory_path() / ("launch-report-" + std::to_string(CurrentProcessId()));
    fs::remove(report);
    SetVariable(kReportVariable, report.string());
    pelora::SystemLauncher launcher;
    ASSERT_TRUE(launcher.StartDetached(programPath, fs::path(programPath).parent_path().string()));
    SetVariable(kReportVariable, "");
    std::string seen;
    for (int i = 0; i < 300 && seen.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(report);
        std::getline(in, seen);
    }
#ifdef _WIN32
    EXPECT_EQ(seen, "maximised");
#else
    EXPECT_EQ(seen, "as it likes");
#endif
    fs::remove(report);
    EXPECT_FALSE(launcher.StartDetached((fs::temp_directory_path() / "no-such-program").string(), ""));
}

int main(int argc, char** argv)
{
    if (const char* report = std::getenv(kReportVariable); report && *report) {
        std::ofstream(report) << ShowRequest() << '\n';
        return 0;
    }
    programPath = fs::absolute(argv[0]).string();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
