#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelora {

// A file the program reads at start-up (the language database, the image).
struct DataFile {
    std::string Path;                 // the first place that holds it; "" when none does
    std::vector<std::string> Places;  // where it was looked for, in that order
};

// What the configuration string (string-table entry 201) tells the program.
struct Configuration {
    std::vector<std::string> ConfigFields;
    DataFile FirmwareFile;         // field 1, looked for by FindDataFile
    std::string RunOnClose;        // field 3: program started at close; "" = none
    int LanguageNumber = 1;        // text column of the language database
};

// Reads the configuration string. An empty result means the configuration
// does not belong to this build (fewer than two fields, or a check value that
// is not ours): the program then ends at once and shows nothing.
std::optional<Configuration> ReadConfiguration(const std::string& configString,
                                               const std::string& applicationFolder);

// The language column for a language code such as "5000" (column 1) or
// "6000" (column 2): steps of 1000 above 5000.
int LanguageNumberFromCode(const std::string& languageCode);

// Splits at every separator; "" gives one empty field, "a|" two fields.
std::vector<std::string> SplitFields(const std::string& text, char separator);

// A file in the application folder, with the system's separator; all UTF-8.
std::string PathInFolder(const std::string& folder, const std::string& fileName);

// A data file beside the program, else in ../share/pelora-update from the
// program's folder, where the package installs it: an unpacked copy works
// from any prefix, and a copy beside the program wins.
DataFile FindDataFile(const std::string& programFolder, const std::string& fileName);

}  // namespace pelora
