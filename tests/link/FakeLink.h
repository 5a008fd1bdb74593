#pragma once

// A port without a device: frames are recorded, replies are handed to the
// link through `handler` (the link fuzzer drives the link this way).
#include "link/CommModule.h"

#include <cstdint>
#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

class RecordingPort : public pelora::SerialPort {
public:
    void SetPortName(const std::string&) override {}
    void SetBaudRate(int) override {}
    bool Open(std::string*) override { return true; }
    bool IsOpen() const override { return true; }
    void Close() override {}
    void ClearInput() override {}
    void ClearOutput() override {}
    bool Write(std::span<const std::uint8_t> bytes) override
    {
        writes.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    void SetDataReceived(DataHandler h) override { handler = std::move(h); }

    std::vector<Bytes> writes;
    DataHandler handler;
};

}  // namespace linktest
