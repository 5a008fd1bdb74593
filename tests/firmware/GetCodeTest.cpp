#include "ImageTestSupport.h"
#include "firmware/GetCode.h"
#include "link/LinkState.h"
#include "platform/Dialogs.h"
#include "platform/StringTable.h"
#include "platform/TaskLog.h"
#include "texts/LanguageDb.h"

#include <gtest/gtest.h>

#include <deque>

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
        if (rows.empty()) {
            ADD_FAILURE() << "status \"" << S << "\" set with no row";
            return;
        }
        rows.back().status = S;
    }
    std::vector<Row> rows;
};

struct Box {
    Dialogs::Icon icon;
    Dialogs::Buttons buttons;
    std::string title;
    std::string text;
};

// Shows only the boxes a test expects, in order; any other box fails the test.
class ScriptedDialogs : public Dialogs {
public:
    void Expect(Box box) { expected_.push_back(std::move(box)); }
    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        if (expected_.empty()) {
            ADD_FAILURE() << "unexpected message box: " << text;
            return Answer::Ok;
        }
        const Box box = expected_.front();
        expected_.pop_front();
        EXPECT_EQ(icon, box.icon);
        EXPECT_EQ(buttons, box.buttons);
        EXPECT_EQ(title, box.title);
        EXPECT_EQ(text, box.text);
        return Answer::Ok;
    }
    ~ScriptedDialogs() override { EXPECT_TRUE(expected_.empty()) << "a message box did not show"; }

private:
    std::deque<Box> expected_;
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
    void ExpectErrorBox(const std::string& text)
    {
        dialogs.Expect({Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(280), text});
    }
    // The rows that stand before every message box.
    std::vector<Row> RowsBeforeAMessage() const { return {{0, Text(776), Text(777)}, {0, Text(778), "..."}}; }

    TempDir dir;
    pelora::LanguageDb texts;
    RecordingTaskLog log;
    ScriptedDialogs dialogs;
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
    EXPECT_FALSE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 0);
    EXPECT_TRUE(image.Code1Only);
    EXPECT_EQ(image.Code1BlockCount, 4);
    EXPECT_EQ(image.ImageModelKey, "PELORA");
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
}

TEST_F(GetCodeTest, MissingFileEndsSilently)
{
    EXPECT_FALSE(Run(dir.Path() / "PELORA.1D.FWR"));
    EXPECT_EQ(log.rows, (std::vector<Row>{{0, Text(776), "..."}}));
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 1);
    EXPECT_EQ(link.RxBuf.size(), 7u);
}

TEST_F(GetCodeTest, EmptyTextsShowTheirErrorCode)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::Code1Only, 2, 0));
    At(bytes, 1, 32) = 0;
    ExpectErrorBox(Text(779) + " 4!");
    EXPECT_FALSE(RunWith(bytes));
    EXPECT_EQ(log.rows, RowsBeforeAMessage());
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 1);

    At(bytes, 1, 33) = 0;
    ExpectErrorBox(Text(779) + " 5!");
    EXPECT_FALSE(RunWith(bytes));
}

TEST_F(GetCodeTest, ReadFailureShowsTheMessageWithoutCode)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 2));
    bytes.resize(bytes.size() - 10);
    ExpectErrorBox(Text(779) + " !");
    EXPECT_FALSE(RunWith(bytes));
    EXPECT_EQ(log.rows, RowsBeforeAMessage());
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(resetStageCalls, 1);
    EXPECT_EQ(link.RxBuf.size(), 7u);
}

TEST_F(GetCodeTest, ChecksumErrorsShowTheirOwnMessage)
{
    Bytes bytes = fwrtool::WriteImage(Spec(ImageLayout::BothCodes, 2, 2));
    fwrtool::PutU16(bytes, 18, 0);
    dialogs.Expect({Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(280), "Check sum error 3!"});
    EXPECT_FALSE(RunWith(bytes));
    EXPECT_EQ(log.rows, RowsBeforeAMessage());
    EXPECT_TRUE(link.CommFailed);
    EXPECT_EQ(link.RxBuf.size(), 7u);
}

TEST(DeviceConfiguration, FifthFieldGivesMinimumVersionAndRevisionSetting)
{
    const auto shipped = pelora::ReadDeviceConfiguration(pelora::LoadString(pelora::DeviceConfigurationString));
    EXPECT_EQ(shipped.MinCodeVersion, "1A");
    EXPECT_EQ(shipped.RevisionSetting, 0);

    const auto withRevision = pelora::ReadDeviceConfiguration("KALO|PELORA|512|6866|1B07");
    EXPECT_EQ(withRevision.MinCodeVersion, "1B");
    EXPECT_EQ(withRevision.RevisionSetting, 7);

    EXPECT_EQ(pelora::ReadDeviceConfiguration("a|b|c|d|1C42").RevisionSetting, 42);
    EXPECT_EQ(pelora::ReadDeviceConfiguration("a|b|c|d|1CAB").RevisionSetting, 0);
    EXPECT_EQ(pelora::ReadDeviceConfiguration("a|b|c|d").MinCodeVersion, "");
}
