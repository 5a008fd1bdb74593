#pragma once

#include "ImageWriter.h"
#include "firmware/FirmwareImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace imagetest {

using Bytes = std::vector<std::uint8_t>;

inline fwrtool::ImageSpec Spec(pelora::ImageLayout layout, int blocks1, int blocks2)
{
    fwrtool::ImageSpec spec;
    spec.Layout = layout;
    spec.Code1BlockCount = blocks1;
    spec.Code2BlockCount = blocks2;
    return spec;
}

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("fwtest-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path Write(const std::string& name, const Bytes& bytes) const
    {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Byte i of record n (both as the file counts them: records from 1, bytes from 0).
inline std::uint8_t& At(Bytes& bytes, std::size_t record, std::size_t byte)
{
    return bytes.at(fwrtool::RecordOffset(record) + byte);
}

}  // namespace imagetest
