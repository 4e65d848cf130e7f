// The case the `manager` and `firmware` commands talk to: the daemon's, when
// VORASEL_ACCESSORYD_SOCKET names a running vorasel-accessoryd, else a simulated case embedded
// in the process.
#pragma once

#include <memory>
#include <string>

namespace hv::sim {
class VoraselCase;
}

namespace vorasel::tool {

class CaseConnection {
public:
    CaseConnection();
    ~CaseConnection();
    CaseConnection(const CaseConnection &) = delete;
    CaseConnection &operator=(const CaseConnection &) = delete;

    // Attaches the embedded case (the daemon's is attached by the daemon) and waits until
    // HVAccessory has announced it, so that later announcements are the case's own.
    void open();
    bool embedded() const { return embedded_ != nullptr; }
    // "embedded simulated case" or "accessory daemon at PATH".
    std::string description() const;

private:
    std::unique_ptr<hv::sim::VoraselCase> embedded_;
    std::string daemonSocket_;
};

}  // namespace vorasel::tool
