#pragma once

#include "platform/TextSource.h"

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace pelora {

class UnlockedLanguageDb;

// The password-protected language database FirmwareUpdate.lng: every user
// text is looked up in it by a numeric identifier, in the column of the
// selected language.
class LanguageDb : public TextSource {
public:
    enum class OpenResult {
        Ok,
        FileMissing,
        NotOpenable,        // wrong password, or not a database at all
        ContentsMissing,    // no table "CONTENTS", or no index "ID" on it
        ColumnNotText,      // LanguageNumber is not a text column of "CONTENTS"
        LanguagesMissing,   // look-ups work; the language list is absent
        LanguagesEmpty,     // look-ups work; the language list has no record
    };

    static constexpr const char* FileName = "FirmwareUpdate.lng";

    LanguageDb() = default;
    ~LanguageDb() override;
    LanguageDb(const LanguageDb&) = delete;
    LanguageDb& operator=(const LanguageDb&) = delete;

    // Opens the database and prepares the look-up of column LanguageNumber
    // (counted from 0 in the field order of "CONTENTS"). After Ok,
    // LanguagesMissing and LanguagesEmpty, GetText works.
    OpenResult OpenLanguageDb(const std::string& path, const std::string& password, int LanguageNumber);
    // The same, from a database already unlocked (possibly on another thread).
    OpenResult OpenLanguageDb(UnlockedLanguageDb unlocked, int LanguageNumber);

    // The slow part of opening: the password is proved by a key derivation
    // that is slow on purpose. A raw key ("x'…'") that the password derives
    // for this very file, when given, is tried first and spares that.
    // Safe to run on any thread.
    static UnlockedLanguageDb Unlock(const std::string& path, const std::string& password,
                                     const std::string& derivedKey = {});

    // The text with this identifier in the selected language; "" when the
    // identifier is not there, its text is empty (NULL), or nothing is open.
    std::string GetText(std::int32_t ID) const override;

    bool IsOpen() const { return lookup_ != nullptr; }
    void Close();

    // A short English explanation of an open failure, for the one message the
    // program can show before any text is available.
    static std::string Describe(OpenResult result);

private:
    OpenResult Fail(OpenResult result);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* lookup_ = nullptr;
};

// A connection whose password has been proved, or why there is none; handed
// to LanguageDb::OpenLanguageDb, which takes it over.
class UnlockedLanguageDb {
public:
    UnlockedLanguageDb() = default;
    ~UnlockedLanguageDb();
    UnlockedLanguageDb(UnlockedLanguageDb&& other) noexcept;
    UnlockedLanguageDb& operator=(UnlockedLanguageDb&& other) noexcept;

    LanguageDb::OpenResult Result() const { return result_; }

private:
    friend class LanguageDb;
    sqlite3* db_ = nullptr;
    LanguageDb::OpenResult result_ = LanguageDb::OpenResult::FileMissing;
};

}  // namespace pelora
