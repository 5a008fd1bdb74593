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

}  // namespace pelora
