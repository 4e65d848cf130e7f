#include "vorasel/EAAccessory.h"

#include <algorithm>

namespace hv::platform {

bool EAAccessory::offersProtocol(const std::string &protocolString) const {
    return std::find(info_.protocolStrings.begin(), info_.protocolStrings.end(), protocolString) !=
           info_.protocolStrings.end();
}

}  // namespace hv::platform
