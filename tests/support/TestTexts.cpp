#include "support/TestTexts.h"

#ifdef PELORA_TEXTS_FROM_TABLE
#include "TextTable.h"

#include <fstream>
#include <iterator>
#include <map>
#else
#include "platform/StringTable.h"
#include "texts/LanguageDb.h"
#endif

#include <stdexcept>

namespace testsupport {

namespace {

const std::string kUnusable = "the test texts cannot be read: ";

#ifdef PELORA_TEXTS_FROM_TABLE
// The table's first column, read once.
struct TableTexts : pelora::TextSource {
    std::map<std::int32_t, std::string> texts;
    std::string GetText(std::int32_t ID) const override { return texts.contains(ID) ? texts.at(ID) : std::string(); }
};

TableTexts ReadTable()
{
    std::ifstream file(PELORA_TEXT_TABLE, std::ios::binary);
    if (!file) throw std::runtime_error(kUnusable + PELORA_TEXT_TABLE);
    const std::string content((std::istreambuf_iterator<char>(file)), {});
    TableTexts table;
    for (const auto& row : lngtool::ParseTextTable(content, PELORA_TEXT_TABLE).rows) table.texts[row.id] = row.texts.at(0);
    return table;
}
#endif

}  // namespace

const pelora::TextSource& EnglishTexts()
{
#ifdef PELORA_TEXTS_FROM_TABLE
    static const TableTexts texts = ReadTable();
#else
    static pelora::LanguageDb texts;
    if (!texts.IsOpen()) {
        const auto result =
            texts.OpenLanguageDb(PELORA_BIN_DIR "/FirmwareUpdate.lng", pelora::LoadString(pelora::LanguageDbPassword), 1);
        if (result != pelora::LanguageDb::OpenResult::Ok)
            throw std::runtime_error(kUnusable + pelora::LanguageDb::Describe(result));
    }
#endif
    return texts;
}

}  // namespace testsupport
