#include "StringTable.h"

namespace pelora {

namespace {
const std::string kCheckValue = "PL1D-7C3A91";
}

const std::string& ConfigurationCheckValue() { return kCheckValue; }

std::string LoadString(int id)
{
    switch (id) {
    case ConfigurationString:
        return "PELORA.1D.FWR|" + kCheckValue + "||5000";
    case LanguageDbPassword:
        return "kW7#pL2!vQ9@tZ4$mR6x";
    case DeviceConfigurationString:
        return "KALO|PELORA|512|6866|1A";
    default:
        return {};
    }
}

}  // namespace pelora
