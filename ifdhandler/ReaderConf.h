// How a reader.conf.d entry names the case the reader module serves, and the entry itself.
//
// DEVICENAME is "vorasel-accessoryd:SOCKET" (the case served by vorasel-accessoryd at the
// Unix socket SOCKET) or "vorasel-simulated:KIND" (the simulated case inside pcscd, with a card
// of the simulator's catalogue, or an empty slot when KIND is empty). pcscd accepts only
// A-Z a-z 0-9 = / - . _ @ : in DEVICENAME and LIBPATH, and refuses to start at all over one bad
// entry, so entries are checked before they are written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hv::ifdhandler {

inline constexpr std::string_view kDaemonScheme = "vorasel-accessoryd:";
inline constexpr std::string_view kSimulatedScheme = "vorasel-simulated:";
// The socket the installed example entry names.
inline constexpr std::string_view kDefaultDaemonSocket = "/run/vorasel/accessoryd.sock";

struct CaseTarget {
    enum class Kind { Daemon, Simulated };
    Kind kind = Kind::Daemon;
    std::string socketPath;  // Daemon: an absolute path
    std::string cardKind;    // Simulated: "" for an empty slot

    bool operator==(const CaseTarget &) const = default;
};

// Null for anything but the two forms above (a daemon socket must be an absolute path).
std::optional<CaseTarget> parseDeviceName(std::string_view deviceName);

// Whether pcscd's configuration reader takes `text` as one DEVICENAME or LIBPATH word.
bool isReaderConfWord(std::string_view text);

// The reader.conf.d entry for the daemon at `socketPath` and the module at `libPath`, or an
// empty string with the reason in `error` when pcscd could not read it.
std::string readerConfEntry(const std::string &socketPath, const std::string &libPath,
                            std::string &error);

}  // namespace hv::ifdhandler
