#pragma once

#include "TextTable.h"

#include <string>

namespace lngtool {

// Writes the encrypted language database: table CONTENTS (identifier, then
// one text column per language, index "ID") and table LANGUAGES. Replaces an
// existing file only once the new one is complete. Throws std::runtime_error.
void WriteLanguageDb(const TextTable& table, const std::string& path, const std::string& password);

// Every row of CONTENTS, decrypted: identifier and texts, tab-separated, one
// row a line, in identifier order. Throws std::runtime_error.
std::string DumpLanguageDb(const std::string& path, const std::string& password);

// The key that the password derives for this database (its salt and the
// cipher's key derivation), as SQLCipher takes a raw key: "x'<64 hex digits>'".
// Checked by opening the database with it. Throws std::runtime_error.
std::string DerivedKey(const std::string& path, const std::string& password);

}  // namespace lngtool
