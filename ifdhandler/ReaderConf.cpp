#include "ReaderConf.h"

#include <algorithm>

#include "Smartcard/IFDH/HVIFDH.h"

namespace hv::ifdhandler {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::optional<CaseTarget> parseDeviceName(std::string_view deviceName) {
    if (startsWith(deviceName, kDaemonScheme)) {
        const std::string_view path = deviceName.substr(kDaemonScheme.size());
        if (path.size() < 2 || path.front() != '/') return std::nullopt;
        return CaseTarget{CaseTarget::Kind::Daemon, std::string(path), {}};
    }
    if (startsWith(deviceName, kSimulatedScheme))
        return CaseTarget{CaseTarget::Kind::Simulated,
                          {},
                          std::string(deviceName.substr(kSimulatedScheme.size()))};
    return std::nullopt;
}

bool isReaderConfWord(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '=' || c == '/' || c == '-' || c == '.' || c == '_' || c == '@' || c == ':';
    });
}

std::string readerConfEntry(const std::string &socketPath, const std::string &libPath,
                            std::string &error) {
    const std::string deviceName = std::string(kDaemonScheme) + socketPath;
    if (!parseDeviceName(deviceName)) {
        error = "the socket must be an absolute path";
        return {};
    }
    if (!isReaderConfWord(deviceName)) {
        error = "pcscd accepts only A-Z a-z 0-9 = / - . _ @ : in the socket path";
        return {};
    }
    if (libPath.empty() || libPath.front() != '/' || !isReaderConfWord(libPath)) {
        error = "the module path must be absolute, with only A-Z a-z 0-9 = / - . _ @ :";
        return {};
    }
    return "# The Vorasel case served by vorasel-accessoryd at " + socketPath +
           "\nFRIENDLYNAME \"" + HVIFDHReaderName + "\"\nDEVICENAME   " + deviceName +
           "\nLIBPATH      " + libPath + "\n";
}

}  // namespace hv::ifdhandler
