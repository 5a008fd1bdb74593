#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace pelora {

// The link's shared state: one set for the whole run.
struct LinkState {
    std::array<std::uint8_t, 257> TxBuf{};
    // Receive buffers; sized from the image's memory size once it is read.
    std::vector<std::uint8_t> RxBuf = std::vector<std::uint8_t>(1);
    std::vector<std::uint8_t> RxBlockBuf = std::vector<std::uint8_t>(1);
    std::int32_t RxCount = 0;
    std::int32_t RxExpected = 0;
    std::int16_t CurrentCommand = 0;  // -1: no reply is being assembled
    bool ReplyDone = false;
    bool NakReceived = false;
    bool CommFailed = false;
    bool LinkAbort = false;
    bool LinkCancel = false;
    std::array<std::uint8_t, 129> BlockBuf{};
    double StartTime = 0.0;
    double ElapsedTime = 0.0;

    // Re-creates both receive buffers zero-filled with `size` bytes.
    void ResizeReceiveBuffers(std::size_t size)
    {
        RxBuf.assign(size, 0);
        RxBlockBuf.assign(size, 0);
    }
};

}  // namespace pelora
