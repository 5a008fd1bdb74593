#include "profile/BackupFile.h"
#include "platform/Utf8Path.h"
#include "profile/FileText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace pelora {

namespace {

namespace fs = std::filesystem;
using filetext::SystemReason;

constexpr int SerialDigitCount = 6;
constexpr std::size_t HeaderBytes = 16;
constexpr int AddressColumn = 0;
constexpr int CheckColumn = BlockTable::Columns - 1;

std::size_t ElementOffset(int block, int column)
{
    return BackupBlocksOffset +
           2 * (static_cast<std::size_t>(block - 1) + std::size_t{BlockTable::Rows} * static_cast<std::size_t>(column));
}

void PutElement(std::vector<std::uint8_t>& bytes, std::size_t offset, std::int16_t value)
{
    const auto word = static_cast<std::uint16_t>(value);
    bytes[offset] = static_cast<std::uint8_t>(word & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

std::int16_t ElementAt(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8));
}

BackupContent DecodeContent(std::span<const std::uint8_t> bytes)
{
    BackupContent content;
    std::copy_n(bytes.begin() + BackupHeaderOffset, content.ProfileHeader.size(), content.ProfileHeader.begin());
    std::copy_n(bytes.begin() + BackupSerialOffset, content.BackupSerialDigits.size(),
                content.BackupSerialDigits.begin());
    for (int column = 0; column < BlockTable::Columns; ++column)
        for (int block = 1; block <= BlockTable::Rows; ++block)
            content.ProfileBlocks.Block(block)[column] = ElementAt(bytes, ElementOffset(block, column));
    return content;
}

struct Finding {
    BackupProblem problem;
    std::string detail;
};
using Check = std::optional<Finding>;

std::string Num(long long value) { return std::to_string(value); }

Check CheckHeaderSum(const BackupContent& content)
{
    const std::uint8_t sum = ByteSum(std::span(content.ProfileHeader).first<HeaderBytes>());
    if (content.ProfileHeader[HeaderBytes] == sum) return std::nullopt;
    return Finding{BackupProblem::HeaderSum, "header: check byte " + Num(content.ProfileHeader[HeaderBytes]) +
                                                 " is not the sum " + Num(sum) + " of its 16 bytes"};
}

Check CheckSerialDigits(const BackupContent& content)
{
    for (int i = 0; i < SerialDigitCount; ++i) {
        const int digit = content.BackupSerialDigits[static_cast<std::size_t>(i)];
        if (digit > 9)
            return Finding{BackupProblem::SerialDigits,
                           "serial number: byte " + Num(i) + " holds " + Num(digit) + ", not a digit 0..9"};
    }
    return std::nullopt;
}

Check CheckBlockCount(const ProfileArea& area)
{
    if (area.BlockCount <= MaxProfileBlocks) return std::nullopt;
    return Finding{BackupProblem::TooManyBlocks, "header: the pointers (start " + Num(area.Start) + ", end " +
                                                     Num(area.End) + ") call for " + Num(area.BlockCount) +
                                                     " blocks, more than " + Num(MaxProfileBlocks)};
}

Check CheckBlock(const BlockTable::Row& row, int block)
{
    const std::string where = "block " + Num(block) + ": ";
    const int address = 8 * (block - 1);
    if (row[AddressColumn] != address)
        return Finding{BackupProblem::BlockAddress,
                       where + "address " + Num(row[AddressColumn]) + " in column 0, expected " + Num(address)};
    for (int column = 1; column <= CheckColumn; ++column) {
        const int value = row[static_cast<std::size_t>(column)];
        if (value < 0 || value > 255)
            return Finding{BackupProblem::ByteRange,
                           where + "column " + Num(column) + " holds " + Num(value) + ", outside 0..255"};
    }
    int sum = 0;
    for (int column = 1; column < CheckColumn; ++column) sum += row[static_cast<std::size_t>(column)];
    sum %= 256;
    if (row[CheckColumn] == sum) return std::nullopt;
    return Finding{BackupProblem::BlockSum,
                   where + "check byte " + Num(row[CheckColumn]) + " is not the sum " + Num(sum) + " of its bytes"};
}

Check FirstProblem(const BackupContent& content, const ProfileArea& area)
{
    if (auto found = CheckHeaderSum(content)) return found;
    if (auto found = CheckSerialDigits(content)) return found;
    if (auto found = CheckBlockCount(area)) return found;
    for (int block = 1; block <= area.BlockCount; ++block)
        if (auto found = CheckBlock(content.ProfileBlocks.Block(block), block)) return found;
    return std::nullopt;
}

std::int32_t SerialOf(const std::array<std::uint8_t, 17>& digits)
{
    std::int32_t serial = 0;
    for (int i = 0; i < SerialDigitCount; ++i) serial = serial * 10 + digits[static_cast<std::size_t>(i)];
    return serial;
}

BackupReadResult Refused(BackupProblem problem, std::string detail)
{
    BackupReadResult result;
    result.Problem = problem;
    result.Detail = std::move(detail);
    return result;
}


struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::FILE* OpenForReading(const fs::path& path)
{
#ifdef _WIN32
    return ::_wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

}  // namespace

std::string BackupFileName(std::uint16_t ModelNumber, std::int32_t DeviceSerial)
{
    std::string name = std::to_string(ModelNumber) + ".";
    const auto digits = SerialDigits(DeviceSerial);
    for (int i = 0; i < SerialDigitCount; ++i) name += static_cast<char>('0' + digits[static_cast<std::size_t>(i)]);
    return name + ".bin";
}

std::array<std::uint8_t, 17> SerialDigits(std::int32_t DeviceSerial)
{
    // The device has six digits; a larger number keeps its last six.
    std::int64_t rest = DeviceSerial < 0 ? -std::int64_t{DeviceSerial} : DeviceSerial;
    std::array<std::uint8_t, 17> digits{};
    for (int i = SerialDigitCount - 1; i >= 0; --i, rest /= 10)
        digits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(rest % 10);
    return digits;
}

std::vector<std::uint8_t> EncodeBackupFile(const BackupContent& content)
{
    std::vector<std::uint8_t> bytes(BackupFileSize, 0);
    std::copy(content.ProfileHeader.begin(), content.ProfileHeader.end(), bytes.begin() + BackupHeaderOffset);
    std::copy(content.BackupSerialDigits.begin(), content.BackupSerialDigits.end(),
              bytes.begin() + BackupSerialOffset);
    for (int column = 0; column < BlockTable::Columns; ++column)
        for (int block = 1; block <= BlockTable::Rows; ++block)
            PutElement(bytes, ElementOffset(block, column), content.ProfileBlocks.Block(block)[column]);
    return bytes;
}

BackupReadResult ParseBackupFile(std::span<const std::uint8_t> bytes, int MemorySize)
{
    if (bytes.size() != BackupFileSize)
        return Refused(BackupProblem::WrongSize, "the file has " + Num(static_cast<long long>(bytes.size())) +
                                                     " bytes, not " + Num(BackupFileSize));
    BackupReadResult result;
    result.Content = DecodeContent(bytes);
    result.Area = ProfileAreaOf(std::span(result.Content->ProfileHeader).first<HeaderBytes>(), MemorySize);
    if (!CheckSerialDigits(*result.Content)) result.Serial = SerialOf(result.Content->BackupSerialDigits);
    if (auto found = FirstProblem(*result.Content, result.Area)) {
        result.Problem = found->problem;
        result.Detail = std::move(found->detail);
    }
    return result;
}

BackupReadResult ReadBackupFile(const std::filesystem::path& path, int MemorySize)
{
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(OpenForReading(path));
    const int openError = errno;
    if (!file)
        return Refused(BackupProblem::Unreadable, "cannot open " + Utf8Of(path) + ": " + SystemReason(openError));
    // One byte more than a backup has tells a long file without reading all of it.
    std::vector<std::uint8_t> bytes(BackupFileSize + 1);
    const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file.get());
    const int readError = errno;
    if (std::ferror(file.get()))
        return Refused(BackupProblem::Unreadable, "cannot read " + Utf8Of(path) + ": " + SystemReason(readError));
    if (count > BackupFileSize)
        return Refused(BackupProblem::WrongSize, "the file has more than " + Num(BackupFileSize) + " bytes");
    bytes.resize(count);
    return ParseBackupFile(bytes, MemorySize);
}

}  // namespace pelora
