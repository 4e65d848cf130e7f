#include "Platform/ExternalAccessory/EASession.h"

#include "Platform/ExternalAccessory/EAAccessoryManager.h"

namespace hv::platform {

std::shared_ptr<EASession> EASession::create(std::shared_ptr<EAAccessory> accessory,
                                             const std::string &protocolString) {
    if (!accessory || !accessory->isConnected() || !accessory->offersProtocol(protocolString))
        return nullptr;
    auto provider = EAAccessoryManager::sharedAccessoryManager().provider();
    if (!provider) return nullptr;
    std::unique_ptr<SessionChannel> channel =
        provider->openSession(accessory->connectionID(), protocolString);
    if (!channel) return nullptr;
    return std::shared_ptr<EASession>(
        new EASession(std::move(accessory), protocolString, std::move(channel)));
}

EASession::EASession(std::shared_ptr<EAAccessory> accessory, std::string protocolString,
                     std::shared_ptr<SessionChannel> channel)
    : accessory_(std::move(accessory)),
      protocolString_(std::move(protocolString)),
      channel_(std::move(channel)),
      input_(std::make_shared<InputStream>(channel_)),
      output_(std::make_shared<OutputStream>(channel_)) {
    std::weak_ptr<InputStream> in = input_;
    std::weak_ptr<OutputStream> out = output_;
    channel_->setListener([in, out] {
        if (auto s = in.lock()) s->update();
        if (auto s = out.lock()) s->update();
    });
}

EASession::~EASession() {
    channel_->setListener(nullptr);
    channel_->close();
}

}  // namespace hv::platform
