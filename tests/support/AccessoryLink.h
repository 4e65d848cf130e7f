// A simulated accessory behind the library's accessory service, over either of its transports:
// in process, or through an accessory server's socket (the daemon's wire).
#pragma once

#include <unistd.h>

#include <memory>
#include <string>

#include "Platform/ExternalAccessory/EAAccessoryManager.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "vorasel/sim/AccessoryServer.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/SimAccessory.h"

namespace hv::test {

class AccessoryLink {
public:
    enum class Transport { InProcess, Socket };

    // `name` makes the socket path unique to the test.
    AccessoryLink(Transport transport, std::shared_ptr<sim::SimAccessory> accessory,
                  const std::string &name)
        : transport_(transport),
          accessory_(std::move(accessory)),
          socketPath_("/tmp/hv-" + name + "-" + std::to_string(::getpid()) + ".sock") {}
    ~AccessoryLink() { disconnect(); }

    // Attaches the accessory and makes it the accessory service's; false when the socket
    // transport cannot be set up.
    bool connect() {
        if (transport_ == Transport::InProcess) {
            sim::inprocess::connect(accessory_);
            accessory_->attach();
            return true;
        }
        server_ = std::make_unique<sim::AccessoryServer>(socketPath_);
        if (!server_->start()) return false;
        server_->addAccessory(accessory_);
        accessory_->attach();
        auto &manager = platform::EAAccessoryManager::sharedAccessoryManager();
        provider_ = platform::SocketAccessoryProvider::connect(socketPath_, manager);
        if (!provider_) return false;
        manager.setProvider(provider_);
        return !manager.connectedAccessories().empty();
    }

    // The accessory leaves the accessory service and detaches; with the socket transport,
    // every relay of the server has ended when this returns.
    void disconnect() {
        if (transport_ == Transport::InProcess) {
            sim::inprocess::disconnect(accessory_);
            return;
        }
        if (provider_) provider_->stop();
        if (server_ || provider_)
            platform::EAAccessoryManager::sharedAccessoryManager().setProvider(nullptr);
        if (server_) server_->stop();
        provider_.reset();
        server_.reset();
        accessory_->detach();
    }

private:
    const Transport transport_;
    std::shared_ptr<sim::SimAccessory> accessory_;
    const std::string socketPath_;
    std::unique_ptr<sim::AccessoryServer> server_;
    std::shared_ptr<platform::SocketAccessoryProvider> provider_;
};

}  // namespace hv::test
