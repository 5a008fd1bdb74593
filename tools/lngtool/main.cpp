// lngtool: builds the encrypted language database from the translation table,
// and prints a built database back as text.
#include "LanguageDbWriter.h"
#include "TextTable.h"
#include "platform/StringTable.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

int Usage()
{
    std::cerr << "usage: lngtool build TABLE OUT [KEY]\n"
                 "                                 write the encrypted database OUT from TABLE, and the\n"
                 "                                 C++ source KEY that hands the programs its derived key\n"
                 "       lngtool dump FILE         print every text of the database FILE\n";
    return 2;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot read the file");
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The programs open the database they were built with by its derived key,
// sparing the deliberately slow derivation at every start.
void WriteKeySource(const std::string& path, const std::string& key)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "// Written by lngtool with the language database beside the programs.\n"
           "#include \"texts/BuiltLanguageDbKey.h\"\n\n"
           "std::string pelora::BuiltLanguageDbKey() { return \"" << key << "\"; }\n";
    if (!out.flush()) throw std::runtime_error(path + ": cannot write the file");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
    try {
        if (command == "build" && (argc == 4 || argc == 5)) {
            const lngtool::TextTable table = lngtool::ParseTextTable(ReadFile(argv[2]), argv[2]);
            lngtool::WriteLanguageDb(table, argv[3], password);
            if (argc == 5) WriteKeySource(argv[4], lngtool::DerivedKey(argv[3], password));
            return 0;
        }
        if (command == "dump" && argc == 3) {
            std::cout << lngtool::DumpLanguageDb(argv[2], password);
            return 0;
        }
    } catch (const std::exception& error) {
        std::cerr << "lngtool: " << error.what() << '\n';
        return 1;
    }
    return Usage();
}
