// profiletool: prints what the program's own reader makes of a profile
// backup file, and writes valid backups for tests and fuzz seeds.
#include "common/NumberOption.h"
#include "profile/BackupFile.h"
#include "profile/ProfileArea.h"

#include <algorithm>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

using tools::UsageError;

struct Options {
    std::string file;
    long memorySize = 512;
    long serial = 4711;
    long blocks = 16;
    bool wrapped = false;
    unsigned long seed = 1;
};

int Usage()
{
    std::cerr <<
        "usage: profiletool info FILE [--memory-size N]   print the backup FILE as key=value lines\n"
        "       profiletool make OUT [options]             write a valid backup file OUT\n"
        "options (defaults in brackets):\n"
        "  --memory-size N   the device's memory in 128-byte blocks [512]\n"
        "  --serial N        make: serial number 0..999999 [4711]\n"
        "  --blocks N        make: logbook blocks in use [16]\n"
        "  --wrapped         make: the logbook has wrapped round, so it fills the memory\n"
        "  --seed N          make: varies the logbook bytes [1]\n"
        "info exits 0 for a valid backup, 1 for one the program refuses, 2 for a usage error.\n";
    return 2;
}

using tools::NumberOption;

Options Parse(int argc, char** argv, bool making)
{
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            if (!options.file.empty()) throw UsageError("one file only, got \"" + arg + "\" as well");
            options.file = arg;
        } else if (arg == "--wrapped" && making) {
            options.wrapped = true;
        } else if (arg == "--memory-size" || (making && (arg == "--serial" || arg == "--blocks" || arg == "--seed"))) {
            if (i + 1 >= argc) throw UsageError(arg + ": value missing");
            const std::string value = argv[++i];
            if (arg == "--memory-size") options.memorySize = NumberOption(arg, value, 1, making ? 1024 : 65535);
            else if (arg == "--serial") options.serial = NumberOption(arg, value, 0, 999999);
            else if (arg == "--blocks") options.blocks = NumberOption(arg, value, 0, 1024);
            else options.seed = static_cast<unsigned long>(NumberOption(arg, value, 0, 2147483647L));
        } else {
            throw UsageError(arg + ": unknown option");
        }
    }
    if (options.file.empty()) throw UsageError("no file given");
    return options;
}

bool DigitsValid(const std::array<std::uint8_t, 17>& digits)
{
    return std::all_of(digits.begin(), digits.begin() + 6, [](std::uint8_t digit) { return digit <= 9; });
}

int Info(const Options& options)
{
    const pelora::BackupReadResult result = pelora::ReadBackupFile(options.file, static_cast<int>(options.memorySize));
    std::error_code error;
    const auto size = fs::file_size(options.file, error);
    if (result.Problem != pelora::BackupProblem::Unreadable && !error) std::cout << "size=" << size << '\n';
    if (result.Content) {
        const auto& digits = result.Content->BackupSerialDigits;
        if (DigitsValid(digits)) {
            std::cout << "serial=";
            for (int i = 0; i < 6; ++i) std::cout << static_cast<int>(digits[static_cast<std::size_t>(i)]);
            std::cout << '\n';
        }
        std::cout << "start=" << result.Area.Start << '\n'
                  << "end=" << result.Area.End << '\n'
                  << "blocks=" << result.Area.BlockCount << '\n';
    }
    std::cout << "valid=" << (result.Valid() ? "yes" : "no") << '\n';
    if (!result.Valid()) std::cout << "problem=" << result.Detail << '\n';
    return result.Valid() ? 0 : 1;
}

void PutPointer(std::array<std::uint8_t, 17>& header, int byte, long memorySize, long unit)
{
    const long value = memorySize == 1024 ? unit : unit * 16;
    if (value > 0xFFFF) throw UsageError("--blocks: the logbook does not fit the pointers of this memory size");
    header[static_cast<std::size_t>(byte)] = static_cast<std::uint8_t>(value & 0xFF);
    header[static_cast<std::size_t>(byte) + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Pointers as the device leaves them: the end on the last unit of the last
// block, and after wrapping the start one block and a unit above it.
void PutPointers(std::array<std::uint8_t, 17>& header, const Options& options)
{
    const long first = pelora::ProfileStartUnit;
    const long end = options.blocks == 0 && !options.wrapped ? first : first + 8 * std::max(options.blocks, 1L) - 1;
    const long start = options.wrapped ? end + 9 : first;
    if (std::max(start, end) >= options.memorySize * 8)
        throw UsageError("--blocks: " + std::to_string(options.blocks) + " blocks do not fit into a memory of " +
                         std::to_string(options.memorySize) + " blocks");
    PutPointer(header, pelora::StartPointerByte, options.memorySize, start);
    PutPointer(header, pelora::EndPointerByte, options.memorySize, end);
}

pelora::BackupContent MakeContent(const Options& options)
{
    // mt19937 gives the same numbers for a seed on every platform.
    std::mt19937 random(static_cast<std::uint32_t>(options.seed));
    const auto next = [&random] { return static_cast<std::uint8_t>(random() >> 24); };
    pelora::BackupContent content;
    auto& header = content.ProfileHeader;
    for (int i = 0; i < 16; ++i) header[static_cast<std::size_t>(i)] = next();
    PutPointers(header, options);
    header[16] = pelora::ByteSum(std::span(header).first<16>());
    content.BackupSerialDigits = pelora::SerialDigits(static_cast<std::int32_t>(options.serial));

    const auto area = pelora::ProfileAreaOf(std::span(header).first<16>(), static_cast<int>(options.memorySize));
    for (int block = 1; block <= std::min(area.BlockCount, pelora::MaxProfileBlocks); ++block) {
        auto& row = content.ProfileBlocks.Block(block);
        row[0] = static_cast<std::int16_t>(8 * (block - 1));
        unsigned sum = 0;
        for (int column = 1; column <= 128; ++column) {
            const std::uint8_t byte = next();
            row[static_cast<std::size_t>(column)] = byte;
            sum += byte;
        }
        row[129] = static_cast<std::int16_t>(sum & 0xFF);
    }
    return content;
}

int Make(const Options& options)
{
    const std::vector<std::uint8_t> bytes = pelora::EncodeBackupFile(MakeContent(options));
    std::string error;
    if (pelora::WriteFileAtomically(options.file, bytes, &error)) return 0;
    std::cerr << "profiletool: " << error << '\n';
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    try {
        if (command == "info") return Info(Parse(argc, argv, false));
        if (command == "make") return Make(Parse(argc, argv, true));
    } catch (const UsageError& error) {
        std::cerr << "profiletool: " << error.what() << '\n';
        return Usage();
    } catch (const std::exception& error) {
        std::cerr << "profiletool: " << error.what() << '\n';
        return 1;
    }
    return Usage();
}
