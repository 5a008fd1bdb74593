// Saving the diver's profile before new code goes in.
#include "profile/ProfileKeeper.h"

#include "link/CommModule.h"
#include "platform/Dialogs.h"
#include "platform/LocalTime.h"
#include "platform/Progress.h"
#include "platform/TaskLog.h"
#include "platform/TextSource.h"
#include "profile/BackupFile.h"
#include "profile/ProfileTexts.h"

#include <algorithm>
#include <array>
#include <system_error>

namespace pelora {

using namespace profiletext;

namespace {

constexpr int kSerialByte = 10;  // three BCD bytes, most significant first
constexpr int kHeaderByte = 64;  // the 16-byte header record
// A block read has no check byte, so a block counts only when two reads in a
// row agree: a reply changed on the line is read again, never saved. Six
// reads ride out two such replies.
constexpr int kMaxReadsPerBlock = 6;

// Byte k of the block last read (RxBuf holds byte k at index k + 1).
std::uint8_t BlockByte(const LinkState& link, int k)
{
    const auto index = static_cast<std::size_t>(k + 1);
    return index < link.RxBuf.size() ? link.RxBuf[index] : 0;
}

std::array<std::uint8_t, 16> HeaderRecordOfBlock0(const LinkState& link)
{
    std::array<std::uint8_t, 16> header{};
    for (int k = 0; k < 16; ++k) header[static_cast<std::size_t>(k)] = BlockByte(link, kHeaderByte + k);
    return header;
}

// Each BCD byte gives tens and units; the nibbles are taken as they are.
// A nibble above 9 can carry the number past six digits: it is kept to its
// last six, the form the file name and the file's digits take.
std::int32_t SerialOfBlock0(const LinkState& link)
{
    std::int32_t serial = 0;
    for (int k = 0; k < 3; ++k) {
        const std::uint8_t b = BlockByte(link, kSerialByte + k);
        serial = serial * 100 + (b >> 4) * 10 + (b & 15);
    }
    return serial % 1000000;
}

}  // namespace

std::string ProfileKeeper::Text(int id) const { return seams_.Texts.GetText(id); }

bool ProfileKeeper::LinkFailed() const { return seams_.Link.State().CommFailed; }

void ProfileKeeper::UseDeviceSerialDigits() { profile_.BackupSerialDigits = SerialDigits(profile_.DeviceSerial); }

bool ProfileKeeper::ReadAgreeingBlock(std::int32_t address)
{
    LinkState& link = seams_.Link.State();
    std::array<std::uint8_t, 128> previous{};
    for (int read = 1; read <= kMaxReadsPerBlock; ++read) {
        seams_.Link.ReadMemoryBlocks(address, address);
        if (LinkFailed()) return false;
        std::array<std::uint8_t, 128> current{};
        for (int k = 0; k < 128; ++k) current[static_cast<std::size_t>(k)] = BlockByte(link, k);
        if (read > 1 && current == previous) return true;
        previous = current;
    }
    link.CommFailed = true;
    return false;
}

bool ProfileKeeper::GetBackupProfile()
{
    profile_.BackupSerialDigits.fill(0);
    // The flag must tell about this read alone: a buffer left from an
    // earlier read must never pass for the device's block 0.
    seams_.Link.State().CommFailed = false;
    if (!ReadAgreeingBlock(0)) return false;

    profile_.DeviceSerial = SerialOfBlock0(seams_.Link.State());
    const std::string fileName = BackupFileName(device_.ModelNumber, profile_.DeviceSerial);
    profile_.BackupFilePath = Utf8Of(DefaultBackupPath(fileName));
    std::filesystem::path path;
    BackupReadResult file;
    if (ChooseBackupFile(fileName, &path, &file)) {
        profile_.BackupFilePath = Utf8Of(path);
        UseBackupFile(file);
        if (LoadedFileIsUsable(file)) return true;
    }
    UseDeviceSerialDigits();
    return false;
}

bool ProfileKeeper::AnyBackupOfThisModel() const
{
    const std::string prefix = std::to_string(device_.ModelNumber) + ".";
    for (const auto& folder : {seams_.Folders.Program, seams_.Folders.User}) {
        std::error_code error;
        if (folder.empty()) continue;
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string name = Utf8Of(it->path().filename());
            if (name.size() == prefix.size() + 10 && name.rfind(prefix, 0) == 0 && it->path().extension() == ".bin")
                return true;
        }
    }
    return false;
}

// Where a new backup of this device goes: the first backup folder.
std::filesystem::path ProfileKeeper::DefaultBackupPath(const std::string& fileName) const
{
    const auto& first = seams_.Folders.Program.empty() ? seams_.Folders.User : seams_.Folders.Program;
    return first / fileName;
}

// Both folders may hold a file of this device. A damaged one is set aside
// and never hides a good one in the other folder; of the good ones, the
// file whose header record equals the device's wins, else the newer.
// False when no folder holds a file with a profile in it.
bool ProfileKeeper::ChooseBackupFile(const std::string& fileName, std::filesystem::path* chosen,
                                     BackupReadResult* chosenFile)
{
    const auto deviceHeader = HeaderRecordOfBlock0(seams_.Link.State());
    bool found = false;
    bool foundEqual = false;
    std::filesystem::file_time_type foundTime{};
    for (const auto& folder : {seams_.Folders.Program, seams_.Folders.User}) {
        const std::filesystem::path path = folder / fileName;
        if (folder.empty() || !PathExists(path)) continue;
        BackupReadResult file = ReadBackupFile(path, device_.MemorySize);
        // The file is named after the device's serial number, so other digits
        // inside mean it is not what its name says.
        if (!file.Valid() || file.Serial != profile_.DeviceSerial) {
            if (!SetAsideDamagedFile(path)) return false;
            continue;
        }
        if (file.Area.Empty) continue;  // holds no profile: a new backup replaces it
        const bool equal = std::equal(deviceHeader.begin(), deviceHeader.end(), file.Content->ProfileHeader.begin());
        std::error_code noTime;
        const auto time = std::filesystem::last_write_time(path, noTime);
        const bool newer = !found || foundTime < time;
        if (found && (foundEqual || (!equal && !newer))) continue;
        *chosen = path;
        *chosenFile = std::move(file);
        found = true;
        foundEqual = equal;
        foundTime = time;
    }
    return found;
}

// Loads the file's profile into the saved profile.
void ProfileKeeper::UseBackupFile(const BackupReadResult& file)
{
    profile_.ProfileHeader = file.Content->ProfileHeader;
    profile_.BackupSerialDigits = file.Content->BackupSerialDigits;
    profile_.ProfileBlocks = file.Content->ProfileBlocks;
    profile_.ProfileEnd = file.Area.End;
    profile_.ProfileStart = ProfileStartUnit;
    profile_.ProfileBlockCount = static_cast<std::int16_t>(file.Area.BlockCount);
}

// A file left by a run that stopped before its code went in still matches
// the device by serial number; if the diver has logged dives since, its
// profile is older than the device's own. It is used without asking only
// when the device's profile area is empty (new code), unchanged, or changed
// by this run's own attempt to write the file back.
bool ProfileKeeper::LoadedFileIsUsable(const BackupReadResult& file)
{
    const auto deviceHeader = HeaderRecordOfBlock0(seams_.Link.State());
    if (ProfileAreaOf(deviceHeader, device_.MemorySize).Empty) return true;
    if (std::equal(deviceHeader.begin(), deviceHeader.end(), file.Content->ProfileHeader.begin())) return true;
    if (!profile_.RestoreBegunFrom.empty() && profile_.RestoreBegunFrom == profile_.BackupFilePath) return true;
    return !DiverKeepsDeviceProfile(PathFromUtf8(profile_.BackupFilePath));
}

bool ProfileKeeper::DiverKeepsDeviceProfile(const std::filesystem::path& path)
{
    const auto modified = FileModifiedTime(path);
    const std::string date = modified ? ReadableStamp(*modified) : Utf8Of(path.filename());
    const std::string question = WithArgument(Text(NewerDeviceProfile), date) + "\r\n\r\n" +
                                 Text(KeepDeviceProfileQuestion) + "\r\n\r\n" + Text(KeepDeviceProfileAnswer) +
                                 "\r\n" + WithArgument(Text(UseBackupFileAnswer), date);
    // Dismissing the box keeps the device's newer dives.
    const auto answer = seams_.Dialog.Ask(Dialogs::Icon::Question, Dialogs::Buttons::YesNo, Text(RecoveryTitle),
                                          question, Dialogs::Answer::Yes);
    if (answer == Dialogs::Answer::No) return false;
    std::string reason;
    if (!ArchiveBackupFile(&reason)) {
        // The new backup would overwrite the only copy of the older profile.
        seams_.Link.State().CommFailed = true;
        seams_.Dialog.Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(Failed),
                           WithArgument(Text(ArchiveNotMovable), Utf8Of(path)) + "\r\n" + reason);
    }
    return true;
}

// A damaged file is never sent and never destroyed: it is renamed aside,
// and the backup goes on as if there were none. If even that fails, the
// backup stops rather than overwrite it (false, CommFailed set).
bool ProfileKeeper::SetAsideDamagedFile(const std::filesystem::path& path)
{
    std::string reason;
    if (const auto moved = MoveFile(path, DamagedPath(path, seams_.Time.Now()), &reason)) {
        seams_.Log.InsertTaskList(TaskLog::FailureIcon, WithArgument(Text(DamagedFileSetAside), Utf8Of(moved->filename())),
                                  "");
        return true;
    }
    seams_.Link.State().CommFailed = true;
    seams_.Dialog.Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(Failed),
                       WithArgument(Text(DamagedFileNotMovable), Utf8Of(path)) + "\r\n" + reason);
    return false;
}

void ProfileKeeper::BackupProfile()
{
    if (GetBackupProfile()) {
        FinishBackup();
        return;
    }
    if (LinkFailed()) {
        seams_.Log.InsertTaskList(TaskLog::StepIcon, Text(BackupRow), "");
        FailBackup(ReadingFailed);
        return;
    }

    const auto header = HeaderRecordOfBlock0(seams_.Link.State());
    std::copy(header.begin(), header.end(), profile_.ProfileHeader.begin());
    profile_.ProfileHeader[16] = ByteSum(header);
    const ProfileArea area = ProfileAreaOf(header, device_.MemorySize);
    if (area.Empty) {
        profile_.ProfileRestorePending = false;
        return;
    }
    profile_.ProfileRestorePending = true;
    profile_.ProfileEnd = area.End;
    profile_.ProfileStart = ProfileStartUnit;
    seams_.Log.InsertTaskList(TaskLog::StepIcon, Text(BackupRow), "");
    if (area.BlockCount > MaxProfileBlocks) {
        profile_.ProfileBlockCount = 0;
        FailBackup(TooManyBlocks);
        return;
    }
    profile_.ProfileBlockCount = static_cast<std::int16_t>(area.BlockCount);

    ReadProfileBlocks();
    if (LinkFailed()) {
        FailBackup(ReadingFailed);
        return;
    }
    std::string failures;
    if (!WriteBackupFile(&failures)) {
        FailBackup(ReadingFailed, Text(NoFolderWritable) + failures + "\r\n\r\n" + Text(NothingSent));
        return;
    }
    FinishBackup();
}

void ProfileKeeper::ReadProfileBlocks()
{
    const LinkState& link = seams_.Link.State();
    std::int32_t address = ProfileStartUnit;
    for (int i = 1; i <= profile_.ProfileBlockCount; ++i) {
        seams_.Log.SetTaskStatus(PercentText(i, profile_.ProfileBlockCount));
        auto& row = profile_.ProfileBlocks.Block(i);
        row[0] = static_cast<std::int16_t>(address - ProfileStartUnit);
        if (!ReadAgreeingBlock(address)) return;
        unsigned sum = 0;
        for (int k = 0; k < 128; ++k) {
            row[static_cast<std::size_t>(k + 1)] = BlockByte(link, k);
            sum += BlockByte(link, k);
        }
        row[129] = static_cast<std::int16_t>(sum % 256);
        address += 8;
    }
}

// The program's folder first, then the user's own; the first that takes
// the whole file holds the backup.
bool ProfileKeeper::WriteBackupFile(std::string* failures)
{
    const auto bytes = EncodeBackupFile(Content());
    const auto fileName = PathFromUtf8(profile_.BackupFilePath).filename();
    for (const auto& folder : {seams_.Folders.Program, seams_.Folders.User}) {
        if (folder.empty()) continue;
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        std::string reason;
        if (WriteFileAtomically(folder / fileName, bytes, &reason)) {
            profile_.BackupFilePath = Utf8Of(folder / fileName);
            return true;
        }
        *failures += "\r\n" + Utf8Of(folder) + ": " + reason;
    }
    return false;
}

BackupContent ProfileKeeper::Content() const
{
    BackupContent content;
    content.ProfileHeader = profile_.ProfileHeader;
    content.BackupSerialDigits = profile_.BackupSerialDigits;
    content.ProfileBlocks = profile_.ProfileBlocks;
    return content;
}

// From here until a verified restore the profile may be off the device:
// Close offers the recovery.
void ProfileKeeper::FinishBackup()
{
    seams_.Log.SetTaskStatus(Text(Done));
    profile_.ProfileSafe = false;
}

void ProfileKeeper::FailBackup(int errorText, const std::string& boxText)
{
    seams_.Log.SetTaskStatus(Text(Failed));
    seams_.Log.InsertTaskList(TaskLog::FailureIcon, Text(errorText), "");
    if (!boxText.empty()) seams_.Dialog.Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, Text(Failed), boxText);
    seams_.Link.State().CommFailed = true;
    seams_.ResetStage();
}

}  // namespace pelora
