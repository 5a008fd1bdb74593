#pragma once

#include <string>

namespace pelora {

// The program's built-in string table. The same entries serve every locale
// the program ships for (1031, 1033, 1036, 1040, 3082).
enum StringId {
    ConfigurationString = 201,       // image file | check value | program to run on close | language code
    LanguageDbPassword = 10001,      // password of FirmwareUpdate.lng
    DeviceConfigurationString = 20001,
};

// The entry's text, or "" for an entry the table does not hold.
std::string LoadString(int id);

// The check value that field 2 of the configuration string must carry for
// this build to accept it.
const std::string& ConfigurationCheckValue();

}  // namespace pelora
