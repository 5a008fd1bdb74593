#include "LanguageDbWriter.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace lngtool {

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

std::string Quoted(const std::string& identifier)
{
    std::string quoted = "\"";
    for (char c : identifier) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

void Check(sqlite3* db, int rc, const std::string& what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

Db OpenKeyed(const std::string& path, const std::string& password, int flags)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Db db(raw);
    Check(db.get(), rc, "cannot open " + path);
    Check(db.get(), sqlite3_key(db.get(), password.data(), static_cast<int>(password.size())),
          "cannot set the key of " + path);
    return db;
}

Stmt Prepare(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* raw = nullptr;
    Check(db, sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr), "cannot prepare \"" + sql + "\"");
    return Stmt(raw);
}

}  // namespace

namespace {

// The number of key-derivation rounds this SQLCipher uses for a new database.
int KdfRounds()
{
    Db db = OpenKeyed(":memory:", "any", SQLITE_OPEN_READWRITE);
    Stmt rounds = Prepare(db.get(), "PRAGMA cipher_default_kdf_iter");
    if (sqlite3_step(rounds.get()) != SQLITE_ROW) throw std::runtime_error("SQLCipher names no key-derivation rounds");
    return sqlite3_column_int(rounds.get(), 0);
}

std::string RawKey(const std::array<unsigned char, 32>& key)
{
    std::string raw = "x'";
    for (unsigned char byte : key) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", byte);
        raw += hex;
    }
    return raw + "'";
}

bool Opens(const std::string& path, const std::string& key)
{
    Db db = OpenKeyed(path, key, SQLITE_OPEN_READONLY);
    return sqlite3_exec(db.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

std::string DerivedKey(const std::string& path, const std::string& password)
{
    // The first 16 bytes of the file are the salt; PBKDF2 over the cipher's
    // rounds gives the 32-byte key. Its hash differs between SQLCipher
    // versions (SHA-1 in 3, SHA-512 in 4): the one that opens the file is it.
    std::array<unsigned char, 16> salt{};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(salt.data()), salt.size())) throw std::runtime_error(path + ": no salt");
    const int rounds = KdfRounds();
    for (const EVP_MD* hash : {EVP_sha512(), EVP_sha1(), EVP_sha256()}) {
        std::array<unsigned char, 32> key{};
        if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), salt.size(), rounds,
                              hash, key.size(), key.data()) != 1)
            continue;
        if (const std::string raw = RawKey(key); Opens(path, raw)) return raw;
    }
    throw std::runtime_error("no derived key opens " + path);
}

void WriteLanguageDb(const TextTable& table, const std::string& path, const std::string& password)
{
    const std::string temporary = path + ".part";
    std::filesystem::remove(temporary);
    {
        Db db = OpenKeyed(temporary, password, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        auto exec = [&](const std::string& sql) {
            Check(db.get(), sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), sql);
        };
        exec("BEGIN");
        std::string create = "CREATE TABLE CONTENTS (ID INTEGER NOT NULL";
        for (const std::string& language : table.languages) create += ", " + Quoted(language) + " TEXT";
        exec(create + ")");
        exec("CREATE UNIQUE INDEX \"ID\" ON CONTENTS (ID)");
        exec("CREATE TABLE LANGUAGES (Number INTEGER PRIMARY KEY, Name TEXT NOT NULL)");

        Stmt language = Prepare(db.get(), "INSERT INTO LANGUAGES (Number, Name) VALUES (?1, ?2)");
        for (std::size_t i = 0; i < table.languages.size(); ++i) {
            sqlite3_reset(language.get());
            sqlite3_bind_int(language.get(), 1, static_cast<int>(i + 1));
            sqlite3_bind_text(language.get(), 2, table.languages[i].c_str(), -1, SQLITE_TRANSIENT);
            Check(db.get(), sqlite3_step(language.get()), "cannot insert language");
        }

        std::string insert = "INSERT INTO CONTENTS VALUES (?1";
        for (std::size_t i = 0; i < table.languages.size(); ++i) insert += ", ?" + std::to_string(i + 2);
        Stmt text = Prepare(db.get(), insert + ")");
        for (const TextTable::Row& row : table.rows) {
            sqlite3_reset(text.get());
            sqlite3_bind_int(text.get(), 1, row.id);
            for (std::size_t i = 0; i < row.texts.size(); ++i)
                sqlite3_bind_text(text.get(), static_cast<int>(i + 2), row.texts[i].c_str(), -1, SQLITE_TRANSIENT);
            Check(db.get(), sqlite3_step(text.get()), "cannot insert text " + std::to_string(row.id));
        }
        exec("COMMIT");
    }
    std::filesystem::rename(temporary, path);
}

std::string DumpLanguageDb(const std::string& path, const std::string& password)
{
    if (!std::filesystem::is_regular_file(path)) throw std::runtime_error(path + ": no such file");
    Db db = OpenKeyed(path, password, SQLITE_OPEN_READONLY);
    Stmt rows = Prepare(db.get(), "SELECT * FROM CONTENTS ORDER BY 1");
    std::string out;
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(rows.get());
        for (int c = 0; c < columns; ++c) {
            if (c > 0) out += '\t';
            const unsigned char* value = sqlite3_column_text(rows.get(), c);
            if (value) out += reinterpret_cast<const char*>(value);
        }
        out += '\n';
    }
    Check(db.get(), rc, "cannot read " + path);
    return out;
}

}  // namespace lngtool
