#include "Configuration.h"

#include "platform/StringTable.h"
#include "platform/Utf8Path.h"

#include <cctype>
#include <cmath>
#include <filesystem>

namespace pelora {

namespace {

// The numeric value of the text's leading number, as a BASIC "Val" reads it:
// leading blanks, an optional sign, digits with an optional fraction; 0 when
// the text does not start with a number.
double LeadingNumber(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    double sign = 1.0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') sign = -1.0;
        ++i;
    }
    double value = 0.0;
    bool anyDigit = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        value = value * 10.0 + (text[i] - '0');
        anyDigit = true;
        ++i;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        double scale = 0.1;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            value += (text[i] - '0') * scale;
            scale /= 10.0;
            anyDigit = true;
            ++i;
        }
    }
    return anyDigit ? sign * value : 0.0;
}

}  // namespace

std::vector<std::string> SplitFields(const std::string& text, char separator)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string PathInFolder(const std::string& folder, const std::string& fileName)
{
    return Utf8Of(PathFromUtf8(folder) / PathFromUtf8(fileName));
}

DataFile FindDataFile(const std::string& programFolder, const std::string& fileName)
{
    const std::filesystem::path folder = PathFromUtf8(programFolder);
    const std::filesystem::path share = (folder / ".." / "share" / "pelora-update").lexically_normal();
    DataFile file;
    for (const auto& place : {folder / PathFromUtf8(fileName), share / PathFromUtf8(fileName)}) {
        file.Places.push_back(Utf8Of(place));
        std::error_code error;
        if (file.Path.empty() && std::filesystem::is_regular_file(place, error)) file.Path = file.Places.back();
    }
    return file;
}

int LanguageNumberFromCode(const std::string& languageCode)
{
    // Round half to even (nearbyint in the default rounding mode), then drop
    // the remainder of the division toward zero.
    const double offset = std::nearbyint(LeadingNumber(languageCode) - 5000.0);
    if (!std::isfinite(offset) || std::fabs(offset) > 2.0e12) return 0;
    const long long column = static_cast<long long>(offset) / 1000;
    return static_cast<int>(column + 1);
}

std::optional<Configuration> ReadConfiguration(const std::string& configString,
                                               const std::string& applicationFolder)
{
    Configuration config;
    config.ConfigFields = SplitFields(configString, '|');
    const auto& fields = config.ConfigFields;
    if (fields.size() < 2) return std::nullopt;

    if (fields[1] != ConfigurationCheckValue()) return std::nullopt;
    config.FirmwareFile = FindDataFile(applicationFolder, fields[0]);
    config.RunOnClose = fields.size() >= 3 ? fields[2] : std::string();
    config.LanguageNumber = fields.size() >= 4 ? LanguageNumberFromCode(fields[3]) : 1;
    return config;
}

}  // namespace pelora
