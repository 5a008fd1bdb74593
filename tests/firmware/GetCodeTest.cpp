#include "ImageTestSupport.h"
#include "firmware/GetCode.h"
#include "link/LinkState.h"
#include "platform/Dialogs.h"
#include "platform/StringTable.h"
#include "platform/TaskLog.h"
#include "texts/LanguageDb.h"

#include <gtest/gtest.h>

using pelora::Dialogs;
using pelora::ImageLayout;
using namespace imagetest;

namespace {

struct Row {
    int icon;
    std::string event;
    std::string status;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row)
{
    return out << "{" << row.icon << ", \"" << row.event << "\", \"" << row.status << "\"}";
}

class RecordingTaskLog : public pelora::TaskLog {
public:
    void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) override
    {
        rows.push_back({IconInd, S1, S2});
    }
    void SetTaskStatus(const std::string& S) override
    {
        if (rows.empty()) rows.push_back({-1, "(a status with no row)", ""});
        rows.back().status = S;
    }
    std::vector<Row> rows;
};

struct Box {
    Dialogs::Icon icon;
    Dialogs::Buttons buttons;
    std::string title;
    std::string text;
    bool operator==(const Box&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Box& box) { return out << "box \"" << box.text << "\""; }

class RecordingDialogs : public Dialogs {
public:
    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        shown.push_back({icon, buttons, title, text});
        return Answer::Ok;
    }
    std::vector<Box> shown;
};

class GetCodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(texts.OpenLanguageDb(PELORA_BUILT_LNG, pelora::LoadString(pelora::LanguageDbPassword), 1),
                  pelora::LanguageDb::OpenResult::Ok);
        link.RxBuf.assign(7, 0x55);
        link.RxBlockBuf.assign(7, 0x55);
    }

    bool Run(const std::filesystem::path& path)
    {
        return pelora::GetCode(path, image, {log, dialogs, texts, link, [this] { ++resetStageCalls; }});
    }
    bool RunWith(const Bytes& bytes) { return Run(dir.Write("PELORA.1D.FWR", bytes)); }

    std::string Text(int id) const { return texts.GetText(id); }

    TempDir dir;
    pelora::LanguageDb texts;
    RecordingTaskLog log;
    RecordingDialogs dialogs;
    pelora::LinkState link;
    pelora::ImageState image;
    int resetStageCalls = 0;
};

}  // namespace

TEST_F(GetCodeTest, GoodImageLoadsAndSizesTheReceiveBuffers)
{
    fwrtool::ImageSpec spec = Spec(ImageLayout::Code1Only, 4, 0);
    spec.MemorySize = 1024;
    ASSERT_TRUE(RunWith(fwrtool::WriteImage(spec)));

    const std::vector<Row> rows = {
        {0, Text(776), Text(777)}, {0, Text(778), Text(777)}, {1, "Pelora 1D, " + Text(781) + ": 1C.01", ""}};
    EXPECT_EQ(log.rows, rows);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_FALSE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 0);
    EXPECT_TRUE(image.Code1Only);
    EXPECT_EQ(image.Code1BlockCount, 4);
    EXPECT_EQ(image.MinCodeVersion, "1A");
    EXPECT_EQ(image.RevisionSetting, 0);
    EXPECT_EQ(link.RxBuf, std::vector<std::uint8_t>(1024 * 136 + 2, 0));
    EXPECT_EQ(link.RxBlockBuf, std::vector<std::uint8_t>(1024 * 136 + 2, 0));
}

TEST_F(GetCodeTest, VersionRowShowsTheRevisionByLayout)
{
    struct Case { ImageLayout layout; int revision; std::string ending; };
    const Case cases[] = {
        {ImageLayout::Code1Only, 0, ": 1C"},      {ImageLayout::Code1Only, 5, ": 1C.05"},
        {ImageLayout::Code1Only, 99, ": 1C.99"},  {ImageLayout::Code1Only, 100, ": 1C"},
        {ImageLayout::Code2Only, 0, ": 1C.00"},   {ImageLayout::Code2Only, 123, ": 1C.123"},
        {ImageLayout::BothCodes, 0, ": 1C.00"},   {ImageLayout::BothCodes, 255, ": 1C.255"},
    };
    for (const Case& c : cases) {
        fwrtool::ImageSpec spec = Spec(c.layout, 2, 2);
        spec.Revision = static_cast<std::uint8_t>(c.revision);
        spec.ProductName = "P\xE9lora";
        log.rows.clear();
        ASSERT_TRUE(RunWith(fwrtool::WriteImage(spec)));
        ASSERT_EQ(log.rows.size(), 3u);
        EXPECT_EQ(log.rows[2], (Row{1, "P\xC3\xA9lora, " + Text(781) + c.ending, ""}))
            << "layout " << static_cast<int>(c.layout) << ", revision " << c.revision;
    }
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(GetCodeTest, MissingFileEndsSilently)
{
    EXPECT_FALSE(Run(dir.Path() / "PELORA.1D.FWR"));
    EXPECT_EQ(log.rows, (std::vector<Row>{{0, Text(776), "..."}}));
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 1);
    EXPECT_EQ(link.RxBuf.size(), 7u);
}

class GetCodeDamaged : public GetCodeTest, public ::testing::WithParamInterface<DamagedImage> {};

TEST_P(GetCodeDamaged, ShowsTheReasonAndLoadsNothing)
{
    const DamagedImage& damaged = GetParam();
    EXPECT_FALSE(RunWith(damaged.bytes));
    const std::string text = damaged.Checksum() ? damaged.reason : Text(779) + " " + damaged.reason + "!";
    EXPECT_EQ(dialogs.shown, (std::vector<Box>{{Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(280), text}}));
    EXPECT_EQ(log.rows, (std::vector<Row>{{0, Text(776), Text(777)}, {0, Text(778), "..."}}));
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, damaged.Checksum() ? 0 : 1);
    EXPECT_EQ(link.RxBuf.size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(GetCode, GetCodeDamaged, ::testing::ValuesIn(DamagedImages()), NameOf);

TEST(DeviceConfiguration, FifthFieldGivesMinimumVersionAndRevisionSetting)
{
    struct Case { std::string text, minimum; int revision; };
    const Case cases[] = {{pelora::LoadString(pelora::DeviceConfigurationString), "1A", 0},
                          {"KALO|PELORA|512|6866|1B07", "1B", 7}, {"a|b|c|d|1C42", "1C", 42},
                          {"a|b|c|d|1CAB", "1C", 0}, {"a|b|c|d", "", 0}};
    for (const Case& c : cases) {
        const auto config = pelora::ReadDeviceConfiguration(c.text);
        EXPECT_EQ(config.MinCodeVersion, c.minimum) << c.text;
        EXPECT_EQ(config.RevisionSetting, c.revision) << c.text;
    }
}
