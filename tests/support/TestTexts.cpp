#include "support/TestTexts.h"

#ifdef PELORA_TEXTS_FROM_TABLE
#include "TextTable.h"

#include <fstream>
#include <map>
#include <sstream>
#else
#include "platform/StringTable.h"
#include "texts/LanguageDb.h"
#endif

#include <cstdlib>
#include <iostream>

namespace testsupport {

namespace {

[[noreturn]] void Unusable(const std::string& what)
{
    std::cerr << "the test texts cannot be read: " << what << '\n';
    std::abort();
}

#ifdef PELORA_TEXTS_FROM_TABLE

class TableTexts : public pelora::TextSource {
public:
    TableTexts()
    {
        std::ifstream file(PELORA_TEXT_TABLE, std::ios::binary);
        if (!file) Unusable(PELORA_TEXT_TABLE);
        std::ostringstream content;
        content << file.rdbuf();
        for (const auto& row : lngtool::ParseTextTable(content.str(), PELORA_TEXT_TABLE).rows)
            texts_[row.id] = row.texts.at(0);
    }
    std::string GetText(std::int32_t ID) const override
    {
        const auto found = texts_.find(ID);
        return found == texts_.end() ? std::string() : found->second;
    }

private:
    std::map<std::int32_t, std::string> texts_;
};

#endif

}  // namespace

const pelora::TextSource& EnglishTexts()
{
#ifdef PELORA_TEXTS_FROM_TABLE
    static const TableTexts texts;
#else
    static const pelora::LanguageDb& texts = [] () -> const pelora::LanguageDb& {
        static pelora::LanguageDb db;
        const auto result =
            db.OpenLanguageDb(PELORA_BIN_DIR "/FirmwareUpdate.lng", pelora::LoadString(pelora::LanguageDbPassword), 1);
        if (result != pelora::LanguageDb::OpenResult::Ok) Unusable(pelora::LanguageDb::Describe(result));
        return db;
    }();
#endif
    return texts;
}

}  // namespace testsupport
