#include "GetCode.h"

#include "link/LinkState.h"
#include "platform/Dialogs.h"
#include "platform/StringTable.h"
#include "platform/TaskLog.h"
#include "platform/TextSource.h"
#include "platform/Utf8Path.h"
#include "texts/Configuration.h"

#include <cctype>

namespace pelora {

namespace {

enum TextId {
    ReadingFileText = 776,
    StepDoneText = 777,
    CheckingChecksumsText = 778,
    FileErrorText = 779,
    VersionLabelText = 781,
    ErrorTitleText = 280,
    FileMissingText = 1050,
    ChecksumErrorText = 1056,
};

// A number of up to two decimal digits, as the string table writes it.
std::uint8_t RevisionFromText(const std::string& text)
{
    int value = 0;
    bool anyDigit = false;
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        anyDigit = true;
    }
    return anyDigit ? static_cast<std::uint8_t>(value) : 0;
}

std::string TwoDigits(std::uint8_t value)
{
    std::string digits = std::to_string(value);
    return digits.size() < 2 ? "0" + digits : digits;
}

void ShowImageError(const GetCodeSeams& seams, const std::string& text)
{
    seams.Dialog.Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, seams.Texts.GetText(ErrorTitleText), text);
}

}  // namespace

DeviceConfiguration ReadDeviceConfiguration(const std::string& configString)
{
    DeviceConfiguration config;
    const std::vector<std::string> fields = SplitFields(configString, '|');
    if (fields.size() < 5) return config;
    const std::string& codeField = fields[4];
    config.MinCodeVersion = codeField.substr(0, 2);
    if (codeField.size() > 2) config.RevisionSetting = RevisionFromText(codeField.substr(codeField.size() - 2));
    return config;
}

std::string ImageVersionRow(const FirmwareImage& image, const std::string& versionLabel)
{
    std::string row = AnsiToUtf8(image.ImageProductName) + ", " + versionLabel + ": " +
                      AnsiToUtf8(image.ImageCodeVersion);
    const bool showRevision = !image.Code1Only || (image.ImageRevision >= 1 && image.ImageRevision <= 99);
    if (showRevision) row += "." + TwoDigits(image.ImageRevision);
    return row;
}

bool GetCode(const DataFile& FirmwareFile, ImageState& image, const GetCodeSeams& seams)
{
    const std::filesystem::path FirmwareFilePath = PathFromUtf8(FirmwareFile.Path);
    image.Code1Only = image.Code2Only = image.BothCodes = false;
    image.Code1BlockCount = image.Code2BlockCount = 0;
    seams.Log.InsertTaskList(TaskLog::StepIcon, seams.Texts.GetText(ReadingFileText), "...");

    if (!FileExists(FirmwareFilePath)) {
        seams.Link.CommFailed = true;
        seams.ResetStage();
        // With nothing to update with, say where the image was looked for.
        std::string text = seams.Texts.GetText(FileMissingText);
        for (const std::string& place : FirmwareFile.Places) text += "\r\n" + place;
        ShowImageError(seams, text);
        return false;
    }

    ImageReadResult result = ReadFirmwareImage(FirmwareFilePath);
    const DeviceConfiguration config = ReadDeviceConfiguration(LoadString(DeviceConfigurationString));
    image.MinCodeVersion = config.MinCodeVersion;
    image.RevisionSetting = config.RevisionSetting;

    const ImageFailure& failure = result.Failure;
    // The file may vanish between the look-up and the read: that is a file
    // error like any other, never a silent end after the look-up succeeded.
    const bool fileError = !result.Loaded() && failure.kind != ImageFailure::Kind::ChecksumError;
    if (fileError) {
        seams.Link.CommFailed = true;
        seams.ResetStage();
    }

    seams.Log.SetTaskStatus(seams.Texts.GetText(StepDoneText));
    seams.Log.InsertTaskList(TaskLog::StepIcon, seams.Texts.GetText(CheckingChecksumsText), "...");

    if (fileError) {
        ShowImageError(seams, seams.Texts.GetText(FileErrorText) + " " + failure.ErrorCode + "!");
        return false;
    }
    if (!result.Loaded()) {
        // A bad checksum is a bad file too: no later step may take it for usable.
        seams.Link.CommFailed = true;
        const std::string number = std::to_string(failure.ChecksumNumber);
        ShowImageError(seams, seams.Texts.GetText(ChecksumErrorText) + " " + number + "!");
        return false;
    }

    static_cast<FirmwareImage&>(image) = std::move(*result.Image);
    seams.Log.SetTaskStatus(seams.Texts.GetText(StepDoneText));
    seams.Log.InsertTaskList(TaskLog::InfoIcon, ImageVersionRow(image, seams.Texts.GetText(VersionLabelText)), "");

    seams.Link.ResizeReceiveBuffers(static_cast<std::size_t>(image.MemorySize) * 136 + 2);
    return true;
}

}  // namespace pelora
