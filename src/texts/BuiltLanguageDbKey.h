#pragma once

#include <string>

namespace pelora {

// The raw key ("x'…'") that the password derives for the language database
// built with this program: it opens that database without the deliberately
// slow key derivation. Another database (another salt) needs the password.
// Written at build time by lngtool.
std::string BuiltLanguageDbKey();

}  // namespace pelora
