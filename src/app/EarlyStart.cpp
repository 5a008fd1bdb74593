#include "EarlyStart.h"

#include "platform/ExecutableFolder.h"
#include "platform/StringTable.h"
#include "texts/BuiltLanguageDbKey.h"
#include "texts/Configuration.h"

#ifdef PELORA_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace pelora {

namespace {

// Qt reads the font configuration when the first widget measures its text;
// read here, the window finds it loaded. Fontconfig guards its own start.
void LoadFontConfiguration()
{
#ifdef PELORA_FONTCONFIG
    FcInit();
#endif
}

}  // namespace

EarlyStart::EarlyStart() : password_(LoadString(LanguageDbPassword))
{
    const std::string folder = ExecutableFolder();
    if (!folder.empty()) path_ = FindDataFile(folder, LanguageDb::FileName).Path;
    unlocking_ = std::async(std::launch::async, [path = path_, password = password_] {
        LoadFontConfiguration();
        return path.empty() ? UnlockedLanguageDb() : LanguageDb::Unlock(path, password, BuiltLanguageDbKey());
    });
}

UnlockedLanguageDb EarlyStart::TakeTexts(const std::string& path, const std::string& password)
{
    if (unlocking_.valid()) {
        UnlockedLanguageDb early = unlocking_.get();
        if (!path_.empty() && path == path_ && password == password_) return early;
    }
    return LanguageDb::Unlock(path, password, BuiltLanguageDbKey());
}

}  // namespace pelora
