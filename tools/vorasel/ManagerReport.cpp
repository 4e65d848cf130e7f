#include "ManagerReport.h"

#include <cstdio>

namespace vorasel::tool {

const char *managerStatusName(HVManagerStatus status) {
    switch (status) {
        case HVManagerStatusSuccess:
            return "HVManagerStatusSuccess";
        case HVManagerStatusEncodeFailed:
            return "HVManagerStatusEncodeFailed";
        case HVManagerStatusAccessoryNotFound:
            return "HVManagerStatusAccessoryNotFound";
        case HVManagerStatusSessionFailed:
            return "HVManagerStatusSessionFailed";
        case HVManagerStatusFailed:
            return "HVManagerStatusFailed";
    }
    return "HVManagerStatusUnknown";
}

std::string jsonStatus(HVManagerStatus status) {
    return "\"status\":" + std::to_string(static_cast<int>(status)) +
           ",\"status_name\":" + jsonString(managerStatusName(status));
}

}  // namespace vorasel::tool
