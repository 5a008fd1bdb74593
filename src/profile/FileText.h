#pragma once

#include <string>
#include <system_error>

namespace pelora::filetext {

inline std::string SystemReason(int code) { return code != 0 ? std::generic_category().message(code) : "unknown error"; }

}  // namespace pelora::filetext
