#include "LanguageDbWriter.h"
#include "platform/StringTable.h"
#include "texts/LanguageDb.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>

using pelora::LanguageDb;
using Result = LanguageDb::OpenResult;

namespace {

const std::string kPassword = "0123456789abcdefghij";

class LanguageDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("lngtest-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / LanguageDb::FileName).string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // An encrypted database made from raw SQL, for shapes lngtool never writes.
    void MakeDb(std::initializer_list<const char*> statements)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_key(db, kPassword.data(), static_cast<int>(kPassword.size())), SQLITE_OK);
        for (const char* sql : statements)
            ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }

    void MakeTwoLanguageDb()
    {
        lngtool::TextTable table;
        table.languages = {"English", "Deutsch"};
        table.rows = {{141, {"Close", "Schliessen"}}, {800, {"Next", "Weiter"}}};
        lngtool::WriteLanguageDb(table, path_, kPassword);
    }

    std::filesystem::path dir_;
    std::string path_;
};

}  // namespace

TEST_F(LanguageDbTest, LooksUpTextsInTheSelectedColumn)
{
    MakeTwoLanguageDb();
    LanguageDb english;
    ASSERT_EQ(english.OpenLanguageDb(path_, kPassword, 1), Result::Ok);
    LanguageDb german;
    ASSERT_EQ(german.OpenLanguageDb(path_, kPassword, 2), Result::Ok);

    EXPECT_EQ(english.GetText(800), "Next");
    EXPECT_EQ(english.GetText(141), "Close");
    EXPECT_EQ(english.GetText(800), "Next");  // look-ups are independent of their order
    EXPECT_EQ(german.GetText(141), "Schliessen");
    EXPECT_EQ(german.GetText(800), "Weiter");
}

TEST_F(LanguageDbTest, MissingIdentifierAndNullTextGiveEmptyText)
{
    MakeDb({"CREATE TABLE CONTENTS (ID INTEGER, English TEXT)", "CREATE UNIQUE INDEX \"ID\" ON CONTENTS (ID)",
            "INSERT INTO CONTENTS VALUES (1, 'One'), (2, NULL)", "CREATE TABLE LANGUAGES (Name TEXT)",
            "INSERT INTO LANGUAGES VALUES ('English')"});
    LanguageDb db;
    ASSERT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::Ok);
    EXPECT_EQ(db.GetText(1), "One");
    EXPECT_EQ(db.GetText(2), "");
    EXPECT_EQ(db.GetText(3), "");
    EXPECT_EQ(db.GetText(-1), "");
}

TEST_F(LanguageDbTest, ReportsWhyItCannotOpen)
{
    LanguageDb db;
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::FileMissing);

    MakeTwoLanguageDb();
    EXPECT_EQ(db.OpenLanguageDb(path_, "wrong password 12345", 1), Result::NotOpenable);
    EXPECT_EQ(db.OpenLanguageDb(path_, "", 1), Result::NotOpenable);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(db.GetText(141), "");

    // Column 0 is the identifier, column 3 does not exist.
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 0), Result::ColumnNotText);
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 3), Result::ColumnNotText);
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, -1), Result::ColumnNotText);

    std::ofstream(path_, std::ios::trunc) << "not a database at all, just some text";
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::NotOpenable);
}

TEST_F(LanguageDbTest, TextTableAndItsIndexAreRequired)
{
    MakeDb({"CREATE TABLE LANGUAGES (Name TEXT)", "INSERT INTO LANGUAGES VALUES ('English')"});
    LanguageDb db;
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::ContentsMissing);

    std::filesystem::remove(path_);
    MakeDb({"CREATE TABLE CONTENTS (ID INTEGER, English TEXT)", "CREATE TABLE LANGUAGES (Name TEXT)",
            "INSERT INTO LANGUAGES VALUES ('English')"});
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::ContentsMissing);
}

TEST_F(LanguageDbTest, MissingOrEmptyLanguageListStillAllowsLookUps)
{
    MakeDb({"CREATE TABLE CONTENTS (ID INTEGER, English TEXT)", "CREATE UNIQUE INDEX \"ID\" ON CONTENTS (ID)",
            "INSERT INTO CONTENTS VALUES (280, 'Error')"});
    LanguageDb db;
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::LanguagesMissing);
    EXPECT_EQ(db.GetText(280), "Error");

    std::filesystem::remove(path_);
    MakeDb({"CREATE TABLE CONTENTS (ID INTEGER, English TEXT)", "CREATE UNIQUE INDEX \"ID\" ON CONTENTS (ID)",
            "INSERT INTO CONTENTS VALUES (280, 'Error')", "CREATE TABLE LANGUAGES (Name TEXT)"});
    EXPECT_EQ(db.OpenLanguageDb(path_, kPassword, 1), Result::LanguagesEmpty);
    EXPECT_EQ(db.GetText(280), "Error");
    db.Close();
    EXPECT_EQ(db.GetText(280), "");
}

TEST_F(LanguageDbTest, BuiltFileIsNeitherPlainSqliteNorReadableWithoutItsPassword)
{
    MakeTwoLanguageDb();
    std::ifstream in(path_, std::ios::binary);
    std::string head(16, '\0');
    in.read(head.data(), 16);
    EXPECT_NE(head, std::string("SQLite format 3\0", 16));

    sqlite3* plain = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &plain, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    EXPECT_NE(sqlite3_exec(plain, "SELECT * FROM CONTENTS", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(plain);
}
