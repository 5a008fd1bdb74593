#include "TextTable.h"

#include <charconv>
#include <set>
#include <sstream>
#include <stdexcept>

namespace lngtool {

namespace {

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return cells;
        start = tab + 1;
    }
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

TextTable ParseTextTable(const std::string& content, const std::string& sourceName)
{
    TextTable table;
    std::set<std::int32_t> seen;
    std::istringstream in(content);
    std::string line;
    int lineNumber = 0;
    bool haveHeader = false;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error(sourceName + ":" + std::to_string(lineNumber) + ": " + what);
    };

    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (IsBlank(line) || line[0] == '#') continue;
        std::vector<std::string> cells = SplitTabs(line);

        if (!haveHeader) {
            if (cells.size() < 2) fail("the header needs an identifier column and at least one language");
            for (std::size_t i = 1; i < cells.size(); ++i) {
                if (IsBlank(cells[i])) fail("language " + std::to_string(i) + " has no name in the header");
                table.languages.push_back(cells[i]);
            }
            haveHeader = true;
            continue;
        }

        if (cells.size() != table.languages.size() + 1)
            fail("expected " + std::to_string(table.languages.size() + 1) + " tab-separated cells, found " +
                 std::to_string(cells.size()));
        TextTable::Row row;
        const std::string& idText = cells[0];
        const auto [end, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), row.id);
        if (ec != std::errc() || end != idText.data() + idText.size() || idText.empty() || row.id < 0)
            fail("bad text identifier \"" + idText + "\"");
        if (!seen.insert(row.id).second) fail("duplicate text identifier " + idText);
        for (std::size_t i = 1; i < cells.size(); ++i) {
            if (IsBlank(cells[i]))
                fail("identifier " + idText + " has no text for " + table.languages[i - 1]);
            row.texts.push_back(cells[i]);
        }
        table.rows.push_back(std::move(row));
    }
    if (!haveHeader) {
        lineNumber = 0;
        fail("the table is empty");
    }
    return table;
}

}  // namespace lngtool
