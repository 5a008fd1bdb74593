#pragma once

#include <string>

namespace pelora {

// Starts a program and does not wait for it.
class Launcher {
public:
    virtual ~Launcher() = default;
    virtual bool StartDetached(const std::string& program, const std::string& workingFolder) = 0;
};

class SystemLauncher : public Launcher {
public:
    bool StartDetached(const std::string& program, const std::string& workingFolder) override;
};

}  // namespace pelora
