#pragma once

#include <string>

namespace pelora {

// The folder of the running program (UTF-8), known before any Qt object
// exists; "" where the system does not say.
std::string ExecutableFolder();

}  // namespace pelora
