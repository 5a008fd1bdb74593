#pragma once

#include "firmware/FirmwareImage.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace pelora {

class Dialogs;
class TextSource;
class TaskLog;
struct DataFile;
struct LinkState;

// The loaded image and what the program's configuration says about the
// device it belongs to; one for the whole run, filled once at start-up.
struct ImageState : FirmwareImage {
    std::string MinCodeVersion;       // oldest device code that takes a Code1Only image
    std::uint8_t RevisionSetting = 0; // 1..99: device code revisions are read and shown
};

// The device part of configuration string 20001 ("KALO|PELORA|512|6866|1A").
struct DeviceConfiguration {
    std::string MinCodeVersion;
    std::uint8_t RevisionSetting = 0;
};

// Only the fifth field counts: its first two characters are MinCodeVersion;
// when it is longer, its last two characters are RevisionSetting as a decimal
// number (0 when they are not one, or when the field is missing).
DeviceConfiguration ReadDeviceConfiguration(const std::string& configString);

// What GetCode works through.
struct GetCodeSeams {
    TaskLog& Log;
    Dialogs& Dialog;
    const TextSource& Texts;
    LinkState& Link;
    std::function<void()> ResetStage;
};

// Reads and checks the firmware image at start-up, reporting in the task log.
// On success fills `image` (with MinCodeVersion and RevisionSetting from the
// string table), re-creates the link's receive buffers for the image's memory
// size and returns true. On any fault sets CommFailed, tells the user (a
// missing file with every place it was looked for) and returns false: the
// caller must then end the program through its closing sequence.
bool GetCode(const DataFile& FirmwareFile, ImageState& image, const GetCodeSeams& seams);

// The task-log row that names the image: product, text 781 and the version,
// with the revision as ".05" unless a Code1Only image has a revision outside
// 1..99.
std::string ImageVersionRow(const FirmwareImage& image, const std::string& versionLabel);

}  // namespace pelora
