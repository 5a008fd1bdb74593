#pragma once

#include "platform/TextSource.h"

namespace testsupport {

// The program's English texts: from the language database the build made
// where SQLCipher is at hand, otherwise (the Windows core build) from the
// translation table that database is made from.
const pelora::TextSource& EnglishTexts();

}  // namespace testsupport
