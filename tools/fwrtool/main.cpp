// fwrtool: writes firmware image files for tests and the demo, and prints
// what the program's own reader makes of an image file.
#include "ImageWriter.h"
#include "common/NumberOption.h"
#include "firmware/FirmwareImage.h"

#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

namespace {

using pelora::ImageLayout;

int Usage()
{
    std::cerr <<
        "usage: fwrtool make [options] OUT   write a valid image file OUT\n"
        "       fwrtool info FILE            print the image FILE as key=value lines\n"
        "make options (defaults in brackets):\n"
        "  --layout Code1Only|Code2Only|BothCodes   [Code1Only]\n"
        "  --model-number N      [513]       --version XY        [1C]\n"
        "  --revision N          [1]         --memory-size N     [512]\n"
        "  --product TEXT        [Pelora 1D] --model-key TEXT    [PELORA]\n"
        "  --code1-blocks N      [64]        --code2-blocks N    [0]\n"
        "  --code1-start UNIT    [0x2000]    --code2-start UNIT  [0x4000]\n"
        "  --code2-parameter N   [0]         --seed N            [1]\n"
        "Numbers are decimal or 0x-prefixed hexadecimal; texts are UTF-8 and must\n"
        "fit into Windows-1252.\n";
    return 2;
}

using tools::NumberOption;

// UTF-8 command-line text to the image's 8-bit characters (Windows-1252,
// the page the program decodes them with).
std::string Utf8ToWindows1252(const std::string& option, const std::string& utf8)
{
    std::string text;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            text.push_back(utf8[i++]);
            continue;
        }
        std::size_t taken = 0;
        for (int code = 0x80; code <= 0xFF && taken == 0; ++code) {
            const std::string decoded = pelora::Windows1252ToUtf8(std::string(1, static_cast<char>(code)));
            if (utf8.compare(i, decoded.size(), decoded) == 0) {
                text.push_back(static_cast<char>(code));
                taken = decoded.size();
            }
        }
        if (taken == 0) throw std::invalid_argument(option + ": only characters of Windows-1252 fit into an image");
        i += taken;
    }
    return text;
}

ImageLayout LayoutByName(const std::string& name)
{
    if (name == "Code1Only") return ImageLayout::Code1Only;
    if (name == "Code2Only") return ImageLayout::Code2Only;
    if (name == "BothCodes") return ImageLayout::BothCodes;
    throw std::invalid_argument("--layout: Code1Only, Code2Only or BothCodes, got \"" + name + "\"");
}

const char* LayoutName(ImageLayout layout)
{
    switch (layout) {
    case ImageLayout::Code1Only: return "Code1Only";
    case ImageLayout::Code2Only: return "Code2Only";
    case ImageLayout::BothCodes: return "BothCodes";
    default: return "None";
    }
}

int Make(int argc, char** argv)
{
    fwrtool::ImageSpec spec;
    std::string out;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            if (!out.empty()) return Usage();
            out = arg;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument(arg + ": value missing");
        const std::string value = argv[++i];
        if (arg == "--layout") spec.Layout = LayoutByName(value);
        else if (arg == "--model-number") spec.ModelNumber = static_cast<std::uint16_t>(NumberOption(arg, value, 0, 65535));
        else if (arg == "--version") spec.CodeVersion = Utf8ToWindows1252(arg, value);
        else if (arg == "--revision") spec.Revision = static_cast<std::uint8_t>(NumberOption(arg, value, 0, 255));
        else if (arg == "--memory-size") spec.MemorySize = static_cast<std::uint16_t>(NumberOption(arg, value, 0, 65535));
        else if (arg == "--product") spec.ProductName = Utf8ToWindows1252(arg, value);
        else if (arg == "--model-key") spec.ModelKey = Utf8ToWindows1252(arg, value);
        else if (arg == "--code1-blocks") spec.Code1BlockCount = static_cast<int>(NumberOption(arg, value, 0, 1024));
        else if (arg == "--code2-blocks") spec.Code2BlockCount = static_cast<int>(NumberOption(arg, value, 0, 1024));
        else if (arg == "--code1-start") spec.Code1Start = static_cast<int>(NumberOption(arg, value, 0, 32767));
        else if (arg == "--code2-start") spec.Code2Start = static_cast<int>(NumberOption(arg, value, 0, 32767));
        else if (arg == "--code2-parameter") spec.Code2Parameter = static_cast<std::uint16_t>(NumberOption(arg, value, 0, 65535));
        else if (arg == "--seed") spec.Seed = static_cast<std::uint32_t>(NumberOption(arg, value, 0, 4294967295LL));
        else throw std::invalid_argument(arg + ": unknown option");
    }
    if (out.empty()) return Usage();

    const std::vector<std::uint8_t> bytes = fwrtool::WriteImage(spec);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) throw std::runtime_error(out + ": cannot write the file");
    return 0;
}

int Info(const std::string& path)
{
    const pelora::ImageReadResult result = pelora::ReadFirmwareImage(path);
    if (!result.Loaded()) {
        std::cout << "error=" << result.Failure.Reason() << '\n';
        return 1;
    }
    const pelora::FirmwareImage& image = *result.Image;
    std::cout << "product=" << pelora::AnsiToUtf8(image.ImageProductName) << '\n'
              << "model_key=" << pelora::AnsiToUtf8(image.ImageModelKey) << '\n'
              << "model_number=" << image.ModelNumber << '\n'
              << "version=" << pelora::AnsiToUtf8(image.ImageCodeVersion) << '\n'
              << "revision=" << static_cast<int>(image.ImageRevision) << '\n'
              << "memory_size=" << image.MemorySize << '\n'
              << "layout=" << LayoutName(image.Layout()) << '\n'
              << "code1_blocks=" << image.Code1BlockCount << '\n'
              << "code2_blocks=" << image.Code2BlockCount << '\n'
              << "code1_checksum=" << image.Code1Checksum << '\n'
              << "code2_checksum=" << image.Code2Checksum << '\n'
              << "code2_parameter=" << image.Code2Parameter << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    try {
        if (command == "make") return Make(argc, argv);
        if (command == "info" && argc == 3) return Info(argv[2]);
    } catch (const std::exception& error) {
        std::cerr << "fwrtool: " << error.what() << '\n';
        return 1;
    }
    return Usage();
}
