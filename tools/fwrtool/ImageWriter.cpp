#include "ImageWriter.h"

#include <array>
#include <random>
#include <stdexcept>

namespace fwrtool {

namespace {

using pelora::ImageLayout;
using pelora::ImageRecordSize;

constexpr std::size_t HeaderMaskOffset = 8;
constexpr std::size_t ProductNameOffset = 32;
constexpr int MaxBlocks = 1024;
constexpr int MaxAddress = 0x7FFF;

using Header = std::array<std::uint8_t, ImageRecordSize>;

void Put16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

bool HoldsRegion1(ImageLayout layout) { return layout == ImageLayout::Code1Only || layout == ImageLayout::BothCodes; }
bool HoldsRegion2(ImageLayout layout) { return layout == ImageLayout::Code2Only || layout == ImageLayout::BothCodes; }

void CheckRegion(int count, int start, const char* name)
{
    if (count < 0 || count > MaxBlocks)
        throw std::invalid_argument(std::string(name) + ": a region holds 0 to 1024 blocks");
    if (count > 0 && (start < 0 || start + (count - 1) * UnitsPerBlock > MaxAddress))
        throw std::invalid_argument(std::string(name) + ": the blocks must lie at addresses 0 to 32767");
}

void CheckSpec(const ImageSpec& spec)
{
    if (spec.Layout == ImageLayout::None) throw std::invalid_argument("layout: none given");
    if (spec.CodeVersion.size() != 2) throw std::invalid_argument("version: two characters");
    if (spec.ProductName.empty() || spec.ModelKey.empty())
        throw std::invalid_argument("product name and model key must not be empty");
    if (spec.ProductName.find('\0') != std::string::npos || spec.ModelKey.find('\0') != std::string::npos)
        throw std::invalid_argument("texts must not hold a zero character");
    // Both texts and their zero bytes fit into bytes 32 to 130.
    if (ProductNameOffset + spec.ProductName.size() + 1 + spec.ModelKey.size() + 1 > ImageRecordSize)
        throw std::invalid_argument("product name and model key together take at most 97 characters");
    if (HoldsRegion1(spec.Layout)) CheckRegion(spec.Code1BlockCount, spec.Code1Start, "region 1");
    if (HoldsRegion2(spec.Layout)) CheckRegion(spec.Code2BlockCount, spec.Code2Start, "region 2");
}

// Mask bytes under which no character of either text is stored as zero
// (a stored zero would end the text early).
std::array<std::uint8_t, 8> ChooseHeaderMask(const ImageSpec& spec, std::mt19937& random)
{
    std::array<std::uint8_t, 8> mask{};
    for (std::size_t slot = 0; slot < mask.size(); ++slot) {
        for (;;) {
            const auto candidate = static_cast<std::uint8_t>(random() & 0xFF);
            bool clashes = false;
            for (const std::string* text : {&spec.ProductName, &spec.ModelKey})
                for (std::size_t n = slot; n < text->size(); n += mask.size())
                    clashes = clashes || static_cast<std::uint8_t>((*text)[n]) == candidate;
            if (!clashes) {
                mask[slot] = candidate;
                break;
            }
        }
    }
    return mask;
}

std::size_t PutMaskedText(Header& header, std::size_t position, const std::string& text)
{
    for (std::size_t n = 0; n < text.size(); ++n)
        header[position + n] = static_cast<std::uint8_t>(text[n]) ^ header[HeaderMaskOffset + n % 8];
    header[position + text.size()] = 0;
    return position + text.size() + 1;
}

struct Region {
    std::vector<std::uint8_t> records;
    std::uint16_t checksum = 0;
};

Region MakeRegion(const ImageSpec& spec, int count, int start, std::mt19937& random)
{
    Region region;
    for (int k = 0; k < count; ++k) {
        std::array<std::uint8_t, ImageRecordSize> record{};
        Put16(record.data(), static_cast<std::uint16_t>(start + k * UnitsPerBlock));
        std::array<std::uint8_t, 128> code{};
        for (auto& byte : code) byte = static_cast<std::uint8_t>(random() & 0xFF);
        if (k == 0) {
            code[0] = static_cast<std::uint8_t>(spec.CodeVersion[0]);
            code[1] = static_cast<std::uint8_t>(spec.CodeVersion[1]);
            code[2] = spec.Revision;
        }
        const auto checkByte = static_cast<std::uint8_t>(1 + random() % 255);
        for (std::size_t i = 0; i < code.size(); ++i) record[2 + i] = code[i] ^ checkByte;
        record[130] = checkByte;
        region.checksum = static_cast<std::uint16_t>(region.checksum + checkByte);
        region.records.insert(region.records.end(), record.begin(), record.end());
    }
    return region;
}

// The layout marker (bytes 30 to 31) and region-1 count field (bytes 16 to
// 17) that make a reader take the wanted layout.
void PutLayout(Header& header, ImageLayout layout, std::uint16_t count1, std::uint16_t count2)
{
    constexpr std::uint16_t NeverACount = 0xFFFF;
    switch (layout) {
    case ImageLayout::Code1Only:
        Put16(&header[16], count1);
        Put16(&header[30], count1);
        break;
    case ImageLayout::Code2Only:
        Put16(&header[16], NeverACount);
        Put16(&header[30], count2);
        break;
    default:
        Put16(&header[16], count1);
        Put16(&header[30], NeverACount);
        break;
    }
}

}  // namespace

std::vector<std::uint8_t> WriteImage(const ImageSpec& spec)
{
    CheckSpec(spec);
    std::mt19937 random(spec.Seed);
    const bool region1 = HoldsRegion1(spec.Layout);
    const bool region2 = HoldsRegion2(spec.Layout);
    const Region code1 = region1 ? MakeRegion(spec, spec.Code1BlockCount, spec.Code1Start, random) : Region{};
    const Region code2 = region2 ? MakeRegion(spec, spec.Code2BlockCount, spec.Code2Start, random) : Region{};
    const auto count1 = static_cast<std::uint16_t>(region1 ? spec.Code1BlockCount : 0);
    const auto count2 = static_cast<std::uint16_t>(region2 ? spec.Code2BlockCount : 0);

    Header header{};
    const std::array<std::uint8_t, 8> mask = ChooseHeaderMask(spec, random);
    std::copy(mask.begin(), mask.end(), header.begin() + HeaderMaskOffset);
    Put16(&header[0], spec.ModelNumber);
    header[2] = static_cast<std::uint8_t>(spec.CodeVersion[0]);
    header[3] = static_cast<std::uint8_t>(spec.CodeVersion[1]);
    Put16(&header[4], code1.checksum);
    Put16(&header[6], spec.MemorySize);
    for (std::size_t i = 0; i < 8; ++i) header[i] ^= header[HeaderMaskOffset + i];
    PutLayout(header, spec.Layout, count1, count2);
    Put16(&header[18], code2.checksum);
    Put16(&header[20], count2);
    Put16(&header[22], region2 ? spec.Code2Parameter : 0);
    header[24] = spec.Revision;
    PutMaskedText(header, PutMaskedText(header, ProductNameOffset, spec.ProductName), spec.ModelKey);

    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), code1.records.begin(), code1.records.end());
    // A two-region image has one record between the regions that readers skip.
    if (spec.Layout == ImageLayout::BothCodes) bytes.resize(bytes.size() + ImageRecordSize, 0);
    bytes.insert(bytes.end(), code2.records.begin(), code2.records.end());
    return bytes;
}

void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value)
{
    bytes.at(offset + 1);
    Put16(&bytes[offset], value);
}

void PutMaskedHeaderU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value)
{
    if (offset > 6) throw std::out_of_range("masked header values lie at bytes 0 to 7");
    PutU16(bytes, offset, value);
    bytes[offset] ^= bytes.at(HeaderMaskOffset + offset);
    bytes[offset + 1] ^= bytes.at(HeaderMaskOffset + offset + 1);
}

}  // namespace fwrtool
