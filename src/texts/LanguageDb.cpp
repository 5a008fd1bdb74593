#include "LanguageDb.h"

#include "platform/Utf8Path.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <utility>
#include <vector>

namespace pelora {

namespace {

struct Column {
    std::string name;
    std::string type;
};

std::vector<Column> TableColumns(sqlite3* db, const char* table)
{
    std::vector<Column> columns;
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = std::string("PRAGMA table_info(\"") + table + "\")";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return columns;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        auto text = [&](int i) {
            const unsigned char* t = sqlite3_column_text(stmt, i);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        columns.push_back({text(1), text(2)});
    }
    sqlite3_finalize(stmt);
    return columns;
}

bool IsTextType(std::string type)
{
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return type.find("TEXT") != std::string::npos || type.find("CHAR") != std::string::npos;
}

std::string Quoted(const std::string& identifier)
{
    std::string quoted = "\"";
    for (char c : identifier) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

LanguageDb::~LanguageDb() { Close(); }

void LanguageDb::Close()
{
    if (lookup_) sqlite3_finalize(lookup_);
    lookup_ = nullptr;
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
}

LanguageDb::OpenResult LanguageDb::Fail(OpenResult result)
{
    Close();
    return result;
}

UnlockedLanguageDb::~UnlockedLanguageDb()
{
    if (db_) sqlite3_close(db_);
}

UnlockedLanguageDb::UnlockedLanguageDb(UnlockedLanguageDb&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), result_(other.result_)
{
}

UnlockedLanguageDb& UnlockedLanguageDb::operator=(UnlockedLanguageDb&& other) noexcept
{
    if (this != &other) {
        if (db_) sqlite3_close(db_);
        db_ = std::exchange(other.db_, nullptr);
        result_ = other.result_;
    }
    return *this;
}

namespace {

// The database opened read-only (the program never changes its texts) with
// this key, or null. The key is only tried on the first read: a wrong key or
// a file that is no database fails there.
sqlite3* OpenWithKey(const std::string& path, const std::string& key)
{
    sqlite3* db = nullptr;
    const bool proved =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_key(db, key.data(), static_cast<int>(key.size())) == SQLITE_OK &&
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (proved) return db;
    sqlite3_close(db);
    return nullptr;
}

}  // namespace

UnlockedLanguageDb LanguageDb::Unlock(const std::string& path, const std::string& password,
                                      const std::string& derivedKey)
{
    UnlockedLanguageDb unlocked;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(PathFromUtf8(path), ec)) return unlocked;

    unlocked.db_ = derivedKey.empty() ? nullptr : OpenWithKey(path, derivedKey);
    if (!unlocked.db_) unlocked.db_ = OpenWithKey(path, password);
    unlocked.result_ = unlocked.db_ ? OpenResult::Ok : OpenResult::NotOpenable;
    return unlocked;
}

LanguageDb::OpenResult LanguageDb::OpenLanguageDb(const std::string& path, const std::string& password,
                                                  int LanguageNumber)
{
    return OpenLanguageDb(Unlock(path, password), LanguageNumber);
}

LanguageDb::OpenResult LanguageDb::OpenLanguageDb(UnlockedLanguageDb unlocked, int LanguageNumber)
{
    Close();
    if (unlocked.result_ != OpenResult::Ok) return unlocked.result_;
    db_ = std::exchange(unlocked.db_, nullptr);

    const std::vector<Column> contents = TableColumns(db_, "CONTENTS");
    if (contents.empty()) return Fail(OpenResult::ContentsMissing);
    if (LanguageNumber < 0 || static_cast<std::size_t>(LanguageNumber) >= contents.size() ||
        !IsTextType(contents[LanguageNumber].type))
        return Fail(OpenResult::ColumnNotText);

    // One prepared statement serves every look-up; INDEXED BY makes the
    // index "ID" a requirement rather than a hope.
    const std::string sql = "SELECT " + Quoted(contents[LanguageNumber].name) +
                            " FROM CONTENTS INDEXED BY \"ID\" WHERE " + Quoted(contents[0].name) + " = ?1";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &lookup_, nullptr) != SQLITE_OK) {
        lookup_ = nullptr;
        return Fail(OpenResult::ContentsMissing);
    }

    if (TableColumns(db_, "LANGUAGES").empty()) return OpenResult::LanguagesMissing;
    sqlite3_stmt* first = nullptr;
    bool hasRecord = false;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM LANGUAGES LIMIT 1", -1, &first, nullptr) == SQLITE_OK)
        hasRecord = sqlite3_step(first) == SQLITE_ROW;
    sqlite3_finalize(first);
    return hasRecord ? OpenResult::Ok : OpenResult::LanguagesEmpty;
}

std::string LanguageDb::GetText(std::int32_t ID) const
{
    if (!lookup_) return {};
    sqlite3_reset(lookup_);
    sqlite3_bind_int(lookup_, 1, ID);
    std::string text;
    if (sqlite3_step(lookup_) == SQLITE_ROW) {
        const unsigned char* value = sqlite3_column_text(lookup_, 0);
        if (value) text.assign(reinterpret_cast<const char*>(value),
                               static_cast<std::size_t>(sqlite3_column_bytes(lookup_, 0)));
    }
    sqlite3_reset(lookup_);
    return text;
}

std::string LanguageDb::Describe(OpenResult result)
{
    switch (result) {
    case OpenResult::Ok: return "no error";
    case OpenResult::FileMissing: return "the file is missing";
    case OpenResult::NotOpenable: return "the file is damaged or protected with another password";
    case OpenResult::ContentsMissing: return "the table of texts (CONTENTS) or its index ID is missing";
    case OpenResult::ColumnNotText: return "the configured language has no text column";
    case OpenResult::LanguagesMissing: return "the table of languages (LANGUAGES) is missing";
    case OpenResult::LanguagesEmpty: return "the table of languages (LANGUAGES) is empty";
    }
    return "unknown error";
}

}  // namespace pelora
