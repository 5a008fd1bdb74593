#include "LanguageDbWriter.h"
#include "TextTable.h"
#include "platform/StringTable.h"
#include "texts/LanguageDb.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// Every text identifier the program looks up.
std::set<int> IdentifiersInUse()
{
    std::set<int> ids = {141, 150, 280, 352, 593, 605, 640, 649, 654, 655, 656, 664, 683, 772, 773, 774,
                         792, 793, 794, 796, 797};
    for (int id = 776; id <= 779; ++id) ids.insert(id);
    for (int id = 781; id <= 790; ++id) ids.insert(id);
    for (int id = 799; id <= 809; ++id) ids.insert(id);
    for (int id = 813; id <= 820; ++id) ids.insert(id);
    for (int id = 1001; id <= 1010; ++id) ids.insert(id);
    return ids;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string ParseError(const std::string& content)
{
    try {
        lngtool::ParseTextTable(content, "table.tsv");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(TranslationTable, HoldsEveryIdentifierInFiveLanguages)
{
    const lngtool::TextTable table = lngtool::ParseTextTable(ReadFile(PELORA_TEXT_TABLE), PELORA_TEXT_TABLE);
    ASSERT_EQ(table.languages.size(), 5u);
    EXPECT_EQ(table.languages[0], "English");

    std::set<int> present;
    for (const auto& row : table.rows) present.insert(row.id);
    for (int id : IdentifiersInUse()) EXPECT_TRUE(present.count(id)) << "text " << id << " is missing";
}

TEST(TranslationTable, BuiltDatabaseAnswersEveryIdentifierInEveryLanguage)
{
    const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
    for (int column = 1; column <= 5; ++column) {
        pelora::LanguageDb db;
        ASSERT_EQ(db.OpenLanguageDb(PELORA_BUILT_LNG, password, column), pelora::LanguageDb::OpenResult::Ok);
        for (int id : IdentifiersInUse()) EXPECT_NE(db.GetText(id), "") << "text " << id << ", column " << column;
    }
    const std::string dump = lngtool::DumpLanguageDb(PELORA_BUILT_LNG, password);
    EXPECT_NE(dump.find("820\t"), std::string::npos);
    EXPECT_THROW(lngtool::DumpLanguageDb(PELORA_BUILT_LNG, "not the password...."), std::runtime_error);
}

TEST(TranslationTable, MalformedTablesNameTheirLine)
{
    const std::string header = "# texts\nid\tEnglish\tDeutsch\n";
    EXPECT_EQ(ParseError(header + "1\tOne\tEins\n"), "");
    EXPECT_EQ(ParseError(header + "1\tOne\tEins\n1\tUno\tEins\n"), "table.tsv:4: duplicate text identifier 1");
    EXPECT_EQ(ParseError(header + "\n1\tOne\n"), "table.tsv:4: expected 3 tab-separated cells, found 2");
    EXPECT_EQ(ParseError(header + "1\tOne\t\n"), "table.tsv:3: identifier 1 has no text for Deutsch");
    EXPECT_EQ(ParseError(header + "x1\tOne\tEins\n"), "table.tsv:3: bad text identifier \"x1\"");
    EXPECT_EQ(ParseError(header + "99999999999\tOne\tEins\n"), "table.tsv:3: bad text identifier \"99999999999\"");
    EXPECT_EQ(ParseError("# nothing\n"), "table.tsv:0: the table is empty");
}
