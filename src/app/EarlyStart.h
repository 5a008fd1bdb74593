#pragma once

#include "texts/LanguageDb.h"

#include <future>
#include <string>

namespace pelora {

// What start-up must do anyway and can do before Qt is up: read the system's
// font configuration and open the language database (by the key its password
// derives, carried by the program for the database it was built with; any
// other database needs the key derivation, which is slow on purpose). Begun
// first thing in main(), on its own thread, both are done by the time the
// window needs them.
class EarlyStart {
public:
    // Starts the work for the database beside the program.
    EarlyStart();

    // The database unlocked early when it is the one asked for, else unlocked now.
    UnlockedLanguageDb TakeTexts(const std::string& path, const std::string& password);

private:
    std::string path_;
    std::string password_;
    // Its destructor waits for the thread: a program that ends before taking
    // the texts leaves nothing running while the libraries shut down.
    std::future<UnlockedLanguageDb> unlocking_;
};

}  // namespace pelora
