#pragma once

#include <string>

namespace pelora {

// The cable's USB serial chip holds back a reply shorter than its packet
// until its latency timer runs out (16 ms by default on Linux), which adds
// that much to each of the update's thousands of request/reply exchanges.
// Asks the driver of the open port `fd` for low latency (its timer at the
// shortest); needs no special rights. Returns what became of it, for the
// record: a port that cannot (a pseudo-terminal, another driver) is used as
// it is. Empty where the system has no such request.
std::string RequestLowLatency(int fd);

// Windows: the cable's driver keeps the timer (1 to 255 ms, 16 by default)
// among the port's settings in the registry, which every user may read and
// only the Device Manager should change. Reads the timer of the cable whose
// port is `portName` ("COM7") and returns, for the record, what it is and,
// above 4 ms, how to lower it. Empty where the system has no such registry.
std::string ReadLatencyTimer(const std::string& portName);

}  // namespace pelora
