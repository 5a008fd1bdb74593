// The configuration string, the language database and the translation table it is built from.
#include "LanguageDbWriter.h"
#include "TextTable.h"
#include "platform/StringTable.h"
#include "texts/Configuration.h"
#include "texts/LanguageDb.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <tuple>
#include <unistd.h>

using Result = pelora::LanguageDb::OpenResult;

TEST(Configuration, ReadsItsFieldsOrEndsSilently)
{
    const auto shipped = pelora::ReadConfiguration(pelora::LoadString(pelora::ConfigurationString), "/opt/pelora");
    ASSERT_TRUE(shipped);
    const std::vector<std::string> places{"/opt/pelora/PELORA.1D.FWR", "/opt/share/pelora-update/PELORA.1D.FWR"};
    EXPECT_EQ(std::tuple(shipped->FirmwareFile.Path, shipped->FirmwareFile.Places, shipped->RunOnClose,
                         shipped->LanguageNumber),
              std::tuple("", places, "", 1));

    const std::string ours = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue();
    const std::string foreign[] = {"", "PELORA.1D.FWR|not-ours||5000", ours + "x"};
    for (const std::string& text : foreign) EXPECT_FALSE(pelora::ReadConfiguration(text, "/app")) << text;

    // The program to run on close and the language code are optional.
    const std::tuple<std::string, std::string, int> cases[] = {
        {ours, "", 1}, {ours + "|Tool.exe", "Tool.exe", 1}, {ours + "|Tool.exe|7000", "Tool.exe", 3}};
    for (const auto& [text, runOnClose, language] : cases) {
        const auto config = pelora::ReadConfiguration(text, "/app");
        ASSERT_TRUE(config) << text;
        EXPECT_EQ(std::tuple(config->RunOnClose, config->LanguageNumber), std::tuple(runOnClose, language)) << text;
    }
}

// Only the leading number counts; a half rounds to even, then the division by 1000 drops its remainder toward zero.
TEST(Configuration, LanguageCodeCountsThousandsAboveFiveThousand)
{
    const std::pair<const char*, int> cases[] = {
        {"5000", 1}, {"5999", 1}, {"6000", 2}, {"7999", 3}, {"6000 German", 2}, {"  6000", 2}, {"German", -4},
        {"", -4}, {"-1000", -5}, {"5999.5", 2}, {"4999", 1}, {"3500", 0}, {"99999999999999999999", 0}};
    for (const auto& [code, column] : cases) EXPECT_EQ(pelora::LanguageNumberFromCode(code), column) << code;
}

// Beside the program first, then where the package puts it; a folder of that name is no file.
TEST(Configuration, DataFileBesideTheProgramElseInShare)
{
    const auto root = std::filesystem::temp_directory_path() / ("datafile-" + std::to_string(::getpid()));
    const std::string beside = (root / "bin/x.lng").string(), shared = (root / "share/pelora-update/x.lng").string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {  // files made (a "/" a folder), the one found
        {{beside, shared}, beside}, {{shared}, shared}, {{beside + "/", shared}, shared}, {{}, ""}};
    for (const auto& [files, found] : cases) {
        std::filesystem::remove_all(root);
        for (const char* folder : {"bin", "share/pelora-update"}) std::filesystem::create_directories(root / folder);
        for (const std::string& file : files)
            file.ends_with('/') ? (void)std::filesystem::create_directory(file) : (void)std::ofstream(file);
        const pelora::DataFile file = pelora::FindDataFile((root / "bin").string(), "x.lng");
        EXPECT_EQ(std::tuple(file.Path, file.Places), std::tuple(found, std::vector{beside, shared})) << found;
    }
    std::filesystem::remove_all(root);
}

TEST(Configuration, SplitFieldsKeepsEveryEmptyField)
{
    EXPECT_EQ(pelora::SplitFields("", '|'), std::vector<std::string>{""});
    EXPECT_EQ(pelora::SplitFields("|a||", '|'), (std::vector<std::string>{"", "a", "", ""}));
}

TEST(LanguageDb, OpensEachShapeAndLooksUpTheSelectedColumn)
{
    const auto dir = std::filesystem::temp_directory_path() / ("lngtest-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string password = "0123456789abcdefghij", written = (dir / "written.lng").string();
    lngtool::WriteLanguageDb({{"English", "Deutsch"}, {{1, {"One", "Eins"}}}}, written, password);
    int made = 0;
    const auto make = [&](const std::string& sql) {  // for shapes that lngtool never writes
        const std::string path = (dir / std::to_string(++made)).string();
        sqlite3* raw = nullptr;
        sqlite3_open(path.c_str(), &raw), sqlite3_key(raw, password.data(), static_cast<int>(password.size()));
        EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(raw);
        return path;
    };
    const std::string contents = "CREATE TABLE CONTENTS (ID INTEGER, English TEXT);"
                                 "INSERT INTO CONTENTS VALUES (1, 'One'), (2, NULL);";
    const std::string index = "CREATE UNIQUE INDEX \"ID\" ON CONTENTS (ID);";
    const std::string languages = "CREATE TABLE LANGUAGES (Name TEXT);";
    // Database, column, result, text 1. Text 2 is absent or NULL, so always "".
    const std::tuple<std::string, int, Result, std::string> cases[] = {
        {written, 1, Result::Ok, "One"}, {written + "x", 1, Result::FileMissing, ""}, {written, 2, Result::Ok, "Eins"},
        {written, 0, Result::ColumnNotText, ""}, {written, 3, Result::ColumnNotText, ""},
        {written, -1, Result::ColumnNotText, ""},
        {make(contents + index), 1, Result::LanguagesMissing, "One"},
        {make(contents + index + languages), 1, Result::LanguagesEmpty, "One"},
        {make(contents + languages), 1, Result::ContentsMissing, ""}, {make(languages), 1, Result::ContentsMissing, ""},
        {make("CREATE TABLE CONTENTS (ID INTEGER, English VARCHAR(80)); INSERT INTO CONTENTS VALUES (1, 'One');" +
              index + languages + "INSERT INTO LANGUAGES VALUES ('English');"), 1, Result::Ok, "One"},
        {written, 1, Result::Ok, "One"}};
    pelora::LanguageDb db;  // one for all: each open forgets the database before
    for (const auto& [path, column, result, text1] : cases) {
        EXPECT_EQ(db.OpenLanguageDb(path, password, column), result) << path << ", column " << column;
        EXPECT_EQ(std::tuple(db.GetText(1), db.GetText(2)), std::tuple(text1, "")) << path << ", column " << column;
    }
    // Unlocked on another thread, as the program does while Qt starts, by the
    // derived key alone (the password given is wrong); a wrong derived key
    // leaves the password to open it.
    const std::string key = lngtool::DerivedKey(written, password), wrongKey = "x'" + std::string(64, '0') + "'";
    auto unlocking = std::async(std::launch::async, [&] { return pelora::LanguageDb::Unlock(written, "wrong", key); });
    EXPECT_EQ(db.OpenLanguageDb(unlocking.get(), 2), Result::Ok);
    EXPECT_EQ(db.GetText(1), "Eins");
    EXPECT_EQ(db.OpenLanguageDb(pelora::LanguageDb::Unlock(written, password, wrongKey), 1), Result::Ok);
    EXPECT_EQ(pelora::LanguageDb::Unlock(written, "wrong", wrongKey).Result(), Result::NotOpenable);
    EXPECT_EQ(db.OpenLanguageDb(written, "wrong password 12345", 1), Result::NotOpenable);
    EXPECT_EQ(std::tuple(db.IsOpen(), db.GetText(1)), std::tuple(false, ""));
    std::ofstream(written, std::ios::trunc) << "not a database at all, just some text";
    EXPECT_EQ(db.OpenLanguageDb(written, password, 1), Result::NotOpenable);
    std::filesystem::remove_all(dir);
}

TEST(TranslationTable, BuiltDatabaseAnswersEveryIdentifierInUseInEveryLanguage)
{
    std::ifstream source(PELORA_TEXT_TABLE, std::ios::binary);
    const auto languages = lngtool::ParseTextTable({std::istreambuf_iterator<char>(source), {}}, "texts").languages;
    EXPECT_EQ(std::tuple(languages.size(), languages.at(0)), std::tuple(5, "English"));

    std::vector<int> ids = {141, 150, 280, 352, 593, 605, 640, 649, 654, 655, 656,
                            664, 683, 772, 773, 774, 792, 793, 794, 796, 797};
    for (const auto& [first, last] : {std::pair{776, 779}, {781, 790}, {799, 809}, {813, 820}, {1001, 1010}})
        for (int id = first; id <= last; ++id) ids.push_back(id);
    const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
    for (int column = 1; column <= 5; ++column) {
        pelora::LanguageDb db;
        ASSERT_EQ(db.OpenLanguageDb(PELORA_BUILT_LNG, password, column), Result::Ok);
        for (int id : ids) EXPECT_NE(db.GetText(id), "") << "text " << id << ", column " << column;
    }
    EXPECT_NE(lngtool::DumpLanguageDb(PELORA_BUILT_LNG, password).find("\n820\t"), std::string::npos);
    EXPECT_THROW(lngtool::DumpLanguageDb(PELORA_BUILT_LNG, "not the password...."), std::runtime_error);
}
