#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <sys/wait.h>

using pelora::ImageLayout;
using namespace imagetest;

namespace {

struct Outcome {
    int exitCode = -1;
    std::vector<std::string> lines;
};

Outcome RunFwrtool(const std::string& arguments)
{
    const std::string command = std::string("'") + PELORA_FWRTOOL + "' " + arguments + " 2>/dev/null";
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return outcome;
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) outcome.lines.push_back(line);
    return outcome;
}

std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

}  // namespace

TEST(Fwrtool, MakeThenInfoRoundTripsEveryLayout)
{
    TempDir dir;
    const auto file = dir.Path() / "image.FWR";
    struct Case { std::string layout; std::string options; std::map<std::string, std::string> expected; };
    const Case cases[] = {
        {"Code1Only", "", {{"code1_blocks", "64"}, {"code2_blocks", "0"}, {"version", "1C"}, {"revision", "1"},
                           {"model_number", "513"}, {"memory_size", "512"}, {"product", "Pelora 1D"},
                           {"model_key", "PELORA"}, {"code2_checksum", "0"}, {"code2_parameter", "0"}}},
        {"Code2Only", "--code2-blocks 7 --code2-parameter 0x1234 --revision 9 --model-number 600 --version 2A",
         {{"code1_blocks", "0"}, {"code2_blocks", "7"}, {"code2_parameter", "4660"}, {"revision", "9"},
          {"model_number", "600"}, {"version", "2A"}, {"code1_checksum", "0"}}},
        {"BothCodes", "--code1-blocks 3 --code2-blocks 1024 --code2-start 0x5000 --code2-parameter 17 "
                      "--memory-size 1024 --product 'P\xC3\xA9lora Sport' --model-key PSPORT",
         {{"code1_blocks", "3"}, {"code2_blocks", "1024"}, {"code2_parameter", "17"}, {"memory_size", "1024"},
          {"product", "P\xC3\xA9lora Sport"}, {"model_key", "PSPORT"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        ASSERT_EQ(RunFwrtool("make --layout " + c.layout + " " + c.options + " " + Quoted(file)).exitCode, 0);
        const Outcome info = RunFwrtool("info " + Quoted(file));
        ASSERT_EQ(info.exitCode, 0);
        std::map<std::string, std::string> values;
        for (const std::string& line : info.lines)
            values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        EXPECT_EQ(values.size(), 12u);
        EXPECT_EQ(values.at("layout"), c.layout);
        for (const auto& [key, value] : c.expected) EXPECT_EQ(values.at(key), value) << key;

        // The checksums printed are the ones the file carries and the reader checked.
        const auto loaded = pelora::ReadFirmwareImage(file);
        ASSERT_TRUE(loaded.Loaded());
        EXPECT_EQ(values.at("code1_checksum"), std::to_string(loaded.Image->Code1Sum));
        EXPECT_EQ(values.at("code2_checksum"), std::to_string(loaded.Image->Code2Sum));
    }
}

TEST(Fwrtool, MakeRefusesImagesThatCannotBeValid)
{
    TempDir dir;
    const std::string out = Quoted(dir.Path() / "x");
    const std::vector<std::string> refused = {"--code1-blocks 1025", "--code1-start 0x7FF9 --code1-blocks 2",
                                      "--product ''", "--model-key ''", "--version 1", "--layout Code3",
                                      "--product " + std::string(60, 'p') + " --model-key " + std::string(38, 'k'),
                                      "--product '\xE2\x82\xAC'", "--revision 256", "--seed"};
    for (const std::string& options : refused) {
        EXPECT_EQ(RunFwrtool("make " + options + " " + out).exitCode, 1) << options;
        EXPECT_FALSE(std::filesystem::exists(dir.Path() / "x")) << options;
    }
}

class FwrtoolInfo : public ::testing::TestWithParam<DamagedImage> {};

TEST_P(FwrtoolInfo, RefusesTheDamagedImage)
{
    TempDir dir;
    const Outcome info = RunFwrtool("info " + Quoted(dir.Write("damaged.FWR", GetParam().bytes)));
    EXPECT_EQ(info.exitCode, 1);
    ASSERT_EQ(info.lines.size(), 1u);
    ASSERT_EQ(info.lines[0].rfind("error=", 0), 0u) << info.lines[0];
    if (!GetParam().reason.empty()) EXPECT_EQ(info.lines[0], "error=" + GetParam().reason);
    else EXPECT_GT(info.lines[0].size(), 6u) << "a file error without code names its reason";
}

INSTANTIATE_TEST_SUITE_P(Fwrtool, FwrtoolInfo, ::testing::ValuesIn(DamagedImages()), NameOf);

TEST(Fwrtool, InfoRefusesAMissingFile)
{
    const Outcome missing = RunFwrtool("info /nonexistent/pelora.FWR");
    EXPECT_EQ(missing.exitCode, 1);
    ASSERT_EQ(missing.lines.size(), 1u);
    EXPECT_EQ(missing.lines[0].rfind("error=", 0), 0u);
}
