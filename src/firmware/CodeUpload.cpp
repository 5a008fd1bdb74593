// Sending the image's code regions, block by block, each closed by its checksum.
#include "firmware/FirmwareUpdate.h"

#include "link/CommModule.h"
#include "platform/Progress.h"
#include "platform/TaskLog.h"
#include "platform/TextSource.h"

namespace pelora {

namespace {

enum TextId {
    FailedText = 280,
    DoneText = 777,
    OneRegionText = 787,
    FirstOfTwoText = 788,
    SecondOfTwoText = 789,
    WriteFailedText = 790,
};

constexpr std::uint8_t kRegion1Block = 0xB5;
constexpr std::uint8_t kRegion1Close = 0xB6;
constexpr std::uint8_t kRegion2Block = 0xB7;
constexpr std::uint8_t kRegion2Close = 0xB9;

std::uint8_t ToByte(std::int16_t value)
{
    if (value < 0 || value > 255) throw LinkRuntimeError("a code byte " + std::to_string(value) + " is not a byte");
    return static_cast<std::uint8_t>(value);
}

}  // namespace

// A run-time failure of its own stops the link and the stage; it counts as
// a failed upload, so nothing after it takes the region for sent.
void FirmwareUpdate::UploadCode()
{
    try {
        UploadRegion(1);
    } catch (const LinkRuntimeError&) {
        auto& link = seams_.Link.State();
        link.LinkAbort = true;
        link.LinkCancel = true;
        link.CommFailed = true;
        seams_.ResetStage();
    }
}

void FirmwareUpdate::UploadCode2() { UploadRegion(2); }

void FirmwareUpdate::UploadRegion(int region)
{
    const bool first = region == 1;
    const BlockTable& blocks = first ? image_.Code1Blocks : image_.Code2Blocks;
    const int count = first ? image_.Code1BlockCount : image_.Code2BlockCount;
    const bool onlyRegion = first ? image_.Code1Only : image_.Code2Only;
    log_.InsertTaskList(TaskLog::StepIcon, Text(onlyRegion ? OneRegionText : first ? FirstOfTwoText : SecondOfTwoText),
                        "");

    auto& link = seams_.Link.State();
    for (int k = 1; k <= count; ++k) {
        log_.SetTaskStatus(PercentText(k, count));
        const auto& row = blocks.Block(k);
        for (std::size_t i = 0; i < link.BlockBuf.size(); ++i) link.BlockBuf[i] = ToByte(row[i + 1]);
        seams_.Link.WriteBlock(row[0], first ? kRegion1Block : kRegion2Block);
        if (link.CommFailed) break;
    }
    if (!link.CommFailed) {
        if (first) {
            seams_.Link.SendChecksum(kRegion1Close, image_.Code1Checksum);
        } else {
            // The checksum commits the region: never without its parameter.
            seams_.Link.SendCode2Word(image_.Code2Parameter);
            if (!link.CommFailed) seams_.Link.SendChecksum(kRegion2Close, image_.Code2Checksum);
        }
    }
    if (link.CommFailed) {
        log_.SetTaskStatus(Text(FailedText));
        log_.InsertTaskList(TaskLog::FailureIcon, Text(WriteFailedText), "");
        seams_.ResetStage();
        return;
    }
    log_.SetTaskStatus(Text(DoneText));
}

}  // namespace pelora
