#pragma once

// What the profile suites share: names, files built by hand, and reading and
// writing raw bytes.

#include "platform/Dialogs.h"
#include "platform/Utf8Path.h"
#include "profile/BackupFile.h"
#include "profile/ProfileArea.h"


#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace profiletest {

using namespace pelora;

namespace fs = std::filesystem;
using Icon = Dialogs::Icon;
using Buttons = Dialogs::Buttons;
using Answer = Dialogs::Answer;
using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::string>;

constexpr const char* kFileName = "513.004711.bin";
constexpr const char* kBackupRow = "Backup dive computer profile";
inline const std::string kArchived = "archive/513.004711.20260305-140709.bin";

// A task-log row as the recording log keeps it.
inline std::string Row(int icon, std::string event, std::string status = "") { return std::to_string(icon) + "|" + event + "|" + status; }
inline Bytes FileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline fs::path WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    return path;
}

// Element (block, column) where BackupFile.h says it lives: column by column, little-endian.
inline void Poke(Bytes& bytes, int block, int column, int value)
{
    const std::size_t at = 34 + 2 * static_cast<std::size_t>((block - 1) + 1024 * column);
    bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
inline void Repoint(Bytes& bytes, std::array<std::uint8_t, 4> pointers)
{
    std::copy(pointers.begin(), pointers.end(), bytes.begin() + 8);
    bytes[16] = 0;
    for (int k = 0; k < 16; ++k) bytes[16] = static_cast<std::uint8_t>(bytes[16] + bytes[k]);
}

// Built by hand: serial 004711, pointers 16..596 of a 512 memory, blocks 1..73 with address and sum.
inline Bytes GoodFile()
{
    Bytes bytes(266274);
    bytes[19] = 4, bytes[20] = 7, bytes[21] = 1, bytes[22] = 1;
    for (int b = 1; b <= 73; ++b) {
        int sum = 0;
        for (int c = 1; c <= 128; ++c) Poke(bytes, b, c, (b * 3 + c * 11) % 256), sum += (b * 3 + c * 11) % 256;
        Poke(bytes, b, 0, 8 * (b - 1));
        Poke(bytes, b, 129, sum % 256);
    }
    Repoint(bytes, {0x00, 0x01, 0x40, 0x25});
    return bytes;
}

// A folder for a test's files, named in another script as users' folders
// may be, and made from UTF-8 as the program makes its own.
inline fs::path TestFolder(const std::string& name)
{
    return fs::temp_directory_path() / PathFromUtf8(name + "-J\u00fcrgen-\u30c0\u30a4\u30d6-" + std::to_string(::getpid()));
}

}  // namespace profiletest
