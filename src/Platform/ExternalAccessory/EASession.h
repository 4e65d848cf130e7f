// A session with one accessory on one protocol string: an input and an output stream over
// one channel of the accessory's provider.
#pragma once

#include <memory>
#include <string>

#include "Platform/ExternalAccessory/Stream.h"
#include "vorasel/EAAccessory.h"

namespace hv::platform {

class EASession {
public:
    // Null when the accessory is gone, there is no provider, or the accessory refuses.
    static std::shared_ptr<EASession> create(std::shared_ptr<EAAccessory> accessory,
                                             const std::string &protocolString);
    ~EASession();

    const std::shared_ptr<EAAccessory> &accessory() const { return accessory_; }
    const std::string &protocolString() const { return protocolString_; }
    InputStream &inputStream() { return *input_; }
    OutputStream &outputStream() { return *output_; }

private:
    EASession(std::shared_ptr<EAAccessory> accessory, std::string protocolString,
              std::shared_ptr<SessionChannel> channel);

    std::shared_ptr<EAAccessory> accessory_;
    std::string protocolString_;
    std::shared_ptr<SessionChannel> channel_;
    std::shared_ptr<InputStream> input_;
    std::shared_ptr<OutputStream> output_;
};

}  // namespace hv::platform
