#pragma once

#include <cstdint>
#include <string>

namespace pelora {

// Where the user texts come from: the language database in the program; the
// update and profile logic only look texts up, so they need nothing more.
class TextSource {
public:
    virtual ~TextSource() = default;
    // The text with this identifier in the selected language; "" when there
    // is none.
    virtual std::string GetText(std::int32_t ID) const = 0;
};

}  // namespace pelora
