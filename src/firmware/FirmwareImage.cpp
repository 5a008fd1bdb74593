#include "FirmwareImage.h"

#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace pelora {

namespace {

constexpr std::size_t HeaderMaskOffset = 8;
constexpr std::size_t HeaderMaskLength = 8;
constexpr std::size_t ProductNameOffset = 32;
constexpr std::size_t LastTextByte = ImageRecordSize - 1;

using Record = std::span<const std::uint8_t, ImageRecordSize>;

std::uint16_t BigEndian16(std::uint8_t high, std::uint8_t low)
{
    return static_cast<std::uint16_t>(high << 8 | low);
}

// Thrown inside the reader for a failure that stops the read at once; the
// error code found so far stays with the result.
struct ReadStop {
    std::string detail;
};

class ImageReader {
public:
    explicit ImageReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    ImageReadResult Read()
    {
        auto image = std::make_optional<FirmwareImage>();
        try {
            ReadHeader(*image);
            LoadBlocks(*image);
        } catch (const ReadStop& stop) {
            return FileError(stop.detail);
        }
        if (!errorCode_.empty())
            return FileError(errorCode_ == "4" ? "the product name is empty" : "the model key is empty");
        if (const int number = FailedChecksum(*image)) {
            ImageReadResult result;
            result.Failure.kind = ImageFailure::Kind::ChecksumError;
            result.Failure.ChecksumNumber = number;
            result.Failure.Detail = "Check sum error " + std::to_string(number) + "!";
            return result;
        }
        ImageReadResult result;
        result.Image = std::move(image);
        return result;
    }

private:
    // Record n, counted from 1. A record past the end of the data is a read
    // failure: a short file never loads.
    Record RecordAt(std::size_t n) const
    {
        const std::size_t recordsInData = bytes_.size() / ImageRecordSize;
        if (n == 0 || n > recordsInData) throw ReadStop{"the file ends before record " + std::to_string(n)};
        return bytes_.subspan((n - 1) * ImageRecordSize).first<ImageRecordSize>();
    }

    void ReadHeader(FirmwareImage& image)
    {
        const Record stored = RecordAt(1);
        std::array<std::uint8_t, ImageRecordSize> header{};
        std::copy(stored.begin(), stored.end(), header.begin());
        for (std::size_t i = 0; i < HeaderMaskLength; ++i) header[i] ^= header[HeaderMaskOffset + i];

        image.ModelNumber = BigEndian16(header[0], header[1]);
        image.ImageCodeVersion = std::string{static_cast<char>(header[2]), static_cast<char>(header[3])};
        image.MemorySize = BigEndian16(header[6], header[7]);

        std::size_t position = ProductNameOffset;
        image.ImageProductName = ReadHeaderText(header, position);
        if (image.ImageProductName.empty()) errorCode_ = "4";
        ++position;  // the product name's zero byte
        image.ImageModelKey = ReadHeaderText(header, position);
        if (image.ImageModelKey.empty()) errorCode_ = "5";

        TakeLayoutValues(header, image);
    }

    // A masked text from `position` up to the first byte stored as zero,
    // which must lie within the header record. Leaves `position` on that
    // zero byte.
    static std::string ReadHeaderText(const std::array<std::uint8_t, ImageRecordSize>& header, std::size_t& position)
    {
        std::string text;
        for (std::size_t n = 0;; ++n, ++position) {
            if (position > LastTextByte) throw ReadStop{"a header text has no end inside the header record"};
            const std::uint8_t stored = header[position];
            if (stored == 0) return text;
            text.push_back(static_cast<char>(stored ^ header[HeaderMaskOffset + n % HeaderMaskLength]));
        }
    }

    static void TakeLayoutValues(const std::array<std::uint8_t, ImageRecordSize>& header, FirmwareImage& image)
    {
        const std::uint16_t code1Checksum = BigEndian16(header[4], header[5]);
        const std::uint16_t code1Count = BigEndian16(header[16], header[17]);
        const std::uint16_t code2Checksum = BigEndian16(header[18], header[19]);
        const std::uint16_t code2Count = BigEndian16(header[20], header[21]);
        const std::uint16_t code2Parameter = BigEndian16(header[22], header[23]);
        const std::uint16_t layoutMarker = BigEndian16(header[30], header[31]);

        // Code1Only wins when both counts equal the marker.
        image.Code1Only = layoutMarker == code1Count;
        image.Code2Only = !image.Code1Only && layoutMarker == code2Count;
        image.BothCodes = !image.Code1Only && !image.Code2Only;
        if (image.Code1Only || image.BothCodes) {
            image.Code1Checksum = code1Checksum;
            image.Code1BlockCount = code1Count;
        }
        if (image.Code2Only || image.BothCodes) {
            image.Code2Checksum = code2Checksum;
            image.Code2BlockCount = code2Count;
            image.Code2Parameter = code2Parameter;
        }
        image.ImageRevision = header[24];
    }

    void LoadBlocks(FirmwareImage& image)
    {
        std::size_t nextRecord = 2;
        if (image.Code1Only || image.BothCodes)
            image.Code1Sum = LoadRegion(image.Code1Blocks, image.Code1BlockCount, nextRecord, 1);
        if (image.BothCodes) {
            RecordAt(nextRecord);  // the record between the regions is read and ignored
            ++nextRecord;
        }
        if (image.Code2Only || image.BothCodes)
            image.Code2Sum = LoadRegion(image.Code2Blocks, image.Code2BlockCount, nextRecord, 2);
    }

    std::int32_t LoadRegion(BlockTable& table, std::int32_t count, std::size_t& nextRecord, int region) const
    {
        std::uint16_t sum = 0;
        for (int k = 1; k <= count; ++k, ++nextRecord) {
            const auto where = [&] { return "region " + std::to_string(region) + " block " + std::to_string(k); };
            if (k > BlockTable::Rows) throw ReadStop{where() + ": a region holds at most 1024 blocks"};
            const Record record = RecordAt(nextRecord);
            if (record[0] >= 0x80) throw ReadStop{where() + ": the block address has its top bit set"};

            BlockTable::Row& row = table.Block(k);
            const std::uint8_t checkByte = record[130];
            row[0] = static_cast<std::int16_t>(BigEndian16(record[0], record[1]));
            for (int column = 1; column <= 128; ++column)
                row[static_cast<std::size_t>(column)] = static_cast<std::int16_t>(record[static_cast<std::size_t>(column) + 1] ^ checkByte);
            row[129] = checkByte;
            sum = static_cast<std::uint16_t>(sum + checkByte);
        }
        return sum;
    }

    // The number of the sum that does not match (see ChecksumNumber), 0 when all do.
    static int FailedChecksum(const FirmwareImage& image)
    {
        if ((image.Code1Only && image.Code1Sum != image.Code1Checksum) ||
            (image.Code2Only && image.Code2Sum != image.Code2Checksum))
            return 1;
        if (image.BothCodes && image.Code1Sum != image.Code1Checksum) return 2;
        if (image.BothCodes && image.Code2Sum != image.Code2Checksum) return 3;
        return 0;
    }

    ImageReadResult FileError(const std::string& detail) const
    {
        ImageReadResult result;
        result.Failure.kind = ImageFailure::Kind::FileError;
        result.Failure.ErrorCode = errorCode_;
        result.Failure.Detail = detail;
        return result;
    }

    std::span<const std::uint8_t> bytes_;
    std::string errorCode_;  // "", "4" or "5"; a later "5" replaces a "4"
};

}  // namespace

ImageLayout FirmwareImage::Layout() const
{
    if (Code1Only) return ImageLayout::Code1Only;
    if (Code2Only) return ImageLayout::Code2Only;
    if (BothCodes) return ImageLayout::BothCodes;
    return ImageLayout::None;
}

std::string ImageFailure::Reason() const
{
    if (!ErrorCode.empty()) return ErrorCode;
    return Detail;
}

ImageReadResult ParseFirmwareImage(std::span<const std::uint8_t> bytes)
{
    return ImageReader(bytes).Read();
}

bool FileExists(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

ImageReadResult ReadFirmwareImage(const std::filesystem::path& path)
{
    ImageReadResult result;
    if (!FileExists(path)) {
        result.Failure.kind = ImageFailure::Kind::FileMissing;
        result.Failure.Detail = "the file does not exist";
        return result;
    }
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(MaxImageBytes);
    if (file) file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file && !file.eof()) {
        result.Failure.kind = ImageFailure::Kind::FileError;
        result.Failure.Detail = "the file cannot be read";
        return result;
    }
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return ParseFirmwareImage(bytes);
}

namespace {

void AppendUtf8(std::string& utf8, char32_t code)
{
    if (code < 0x80) {
        utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        utf8.push_back(static_cast<char>(0xC0 | code >> 6));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        utf8.push_back(static_cast<char>(0xE0 | code >> 12));
        utf8.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// 0x80 to 0x9F of Windows-1252; its five unused places keep the control
// character of the same number, as Windows itself decodes them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string Windows1252ToUtf8(const std::string& text)
{
    std::string utf8;
    utf8.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        AppendUtf8(utf8, byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte);
    }
    return utf8;
}

#ifdef _WIN32

std::string AnsiToUtf8(const std::string& ansi)
{
    if (ansi.empty()) return {};
    const int size = static_cast<int>(ansi.size());
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
    if (wideLength <= 0) return Windows1252ToUtf8(ansi);
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, wide.data(), wideLength);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

#else

std::string AnsiToUtf8(const std::string& ansi) { return Windows1252ToUtf8(ansi); }

#endif

}  // namespace pelora
