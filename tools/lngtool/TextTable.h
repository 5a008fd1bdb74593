#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lngtool {

// The translation table of the source tree: a header line naming the
// languages, then one line per text identifier with one text per language.
struct TextTable {
    std::vector<std::string> languages;
    struct Row {
        std::int32_t id = 0;
        std::vector<std::string> texts;
    };
    std::vector<Row> rows;
};

// Parses tab-separated text. Lines starting with '#' and blank lines are
// skipped. Throws std::runtime_error naming the source and line for a
// malformed table: bad or duplicate identifier, missing or extra cell.
TextTable ParseTextTable(const std::string& content, const std::string& sourceName);

}  // namespace lngtool
