#include "Platform/Linux/AccessoryWire.h"

namespace hv::platform::wire {

std::optional<ControlLine> parseControlLine(const std::string &line) {
    if (line == "SYNC") return ControlLine{ControlLine::Kind::Sync, {}, {}};
    if (line.rfind("ATTACH ", 0) == 0) {
        auto fields = split(line.substr(7), '\t');
        if (fields.size() < 8 || fields[0].empty()) return std::nullopt;
        AccessoryInfo info{fields[1],
                           fields[2],
                           fields[3],
                           fields[4],
                           fields[5],
                           fields[6],
                           split(fields[7], ',')};
        return ControlLine{ControlLine::Kind::Attach, fields[0], std::move(info)};
    }
    if (line.rfind("DETACH ", 0) == 0 && line.size() > 7)
        return ControlLine{ControlLine::Kind::Detach, line.substr(7), {}};
    return std::nullopt;
}

}  // namespace hv::platform::wire
