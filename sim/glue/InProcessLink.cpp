// The glue between a SimAccessory and the library's accessory service: the only part of the
// simulator that knows the library's platform interfaces.
#include "vorasel/sim/InProcessLink.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "Platform/ExternalAccessory/AccessoryProvider.h"
#include "Platform/ExternalAccessory/EAAccessoryManager.h"

namespace hv::sim::inprocess {
namespace {

using platform::SessionChannel;

class LinkChannel final : public SessionChannel {
public:
    explicit LinkChannel(std::shared_ptr<SimSession> session) : session_(std::move(session)) {}
    ~LinkChannel() override {
        session_->setListener(nullptr);
        session_->hostClose();
    }

    OpenState openState(Direction d) const override {
        switch (session_->openState(d == Direction::Input)) {
            case SimSession::OpenState::Opening:
                return OpenState::Opening;
            case SimSession::OpenState::Open:
                return OpenState::Open;
            case SimSession::OpenState::Failed:
                break;
        }
        return OpenState::Failed;
    }
    size_t bytesAvailable() const override { return session_->visibleBytes(); }
    bool hasPendingBytes() const override { return session_->toHost().available() > 0; }
    void beginReadEvent() override { session_->beginDelivery(); }
    ptrdiff_t read(uint8_t *buf, size_t cap) override { return session_->hostRead(buf, cap); }
    bool inputEnded() const override {
        return session_->toHost().isClosed() && session_->toHost().available() == 0;
    }
    bool hasSpace() const override { return session_->toDevice().space() > 0; }
    ptrdiff_t write(const uint8_t *data, size_t len) override {
        return session_->hostWrite(data, len);
    }
    bool outputEnded() const override { return session_->toDevice().isClosed(); }
    std::optional<platform::StreamError> error(Direction d) const override {
        auto e = session_->error(d == Direction::Input);
        if (!e) return std::nullopt;
        return platform::StreamError{e->code, e->description};
    }
    void setListener(std::function<void()> listener) override {
        session_->setListener(std::move(listener));
    }
    void closeDirection(Direction d) override {
        (d == Direction::Input ? session_->toHost() : session_->toDevice()).close();
    }
    void close() override { session_->hostClose(); }

private:
    std::shared_ptr<SimSession> session_;
};

class Link final : public platform::AccessoryProvider, public SimAccessory::AttachListener {
public:
    // Never destroyed: the accessory service may still hold it while the process exits.
    static const std::shared_ptr<Link> &shared() {
        static auto *link = new std::shared_ptr<Link>(std::make_shared<Link>());
        return *link;
    }

    void connect(const std::shared_ptr<SimAccessory> &accessory) {
        platform::EAAccessoryManager::sharedAccessoryManager().setProvider(shared());
        {
            std::lock_guard lock(mutex_);
            if (std::find(accessories_.begin(), accessories_.end(), accessory) !=
                accessories_.end())
                return;
            accessories_.push_back(accessory);
        }
        accessory->setAttachListener(this);
    }

    void disconnect(const std::shared_ptr<SimAccessory> &accessory) {
        accessory->detach();
        accessory->setAttachListener(nullptr);
        std::lock_guard lock(mutex_);
        std::erase(accessories_, accessory);
    }

    void accessoryAttached(SimAccessory &accessory) override {
        const AccessoryIdentity id = accessory.identity();
        platform::AccessoryInfo info{id.name,
                                     id.manufacturer,
                                     id.modelNumber,
                                     id.serialNumber,
                                     id.firmwareRevision,
                                     id.hardwareRevision,
                                     accessory.protocolStrings()};
        auto ea = platform::EAAccessoryManager::sharedAccessoryManager().accessoryAttached(info);
        std::lock_guard lock(mutex_);
        connections_[&accessory] = ea->connectionID();
    }

    void accessoryDetached(SimAccessory &accessory) override {
        uint32_t id = 0;
        {
            std::lock_guard lock(mutex_);
            auto it = connections_.find(&accessory);
            if (it == connections_.end()) return;
            id = it->second;
            connections_.erase(it);
        }
        platform::EAAccessoryManager::sharedAccessoryManager().accessoryDetached(id);
    }

    std::unique_ptr<SessionChannel> openSession(uint32_t connectionID,
                                                const std::string &protocolString) override {
        std::shared_ptr<SimAccessory> accessory;
        {
            std::lock_guard lock(mutex_);
            for (const auto &[ptr, id] : connections_) {
                if (id != connectionID) continue;
                for (const auto &a : accessories_)
                    if (a.get() == ptr) accessory = a;
            }
        }
        if (!accessory) return nullptr;
        const std::string prefix = accessory->identity().protocolPrefix + ".";
        if (protocolString.rfind(prefix, 0) != 0) return nullptr;
        auto session = accessory->openSession(protocolString.substr(prefix.size()));
        if (!session) return nullptr;
        return std::make_unique<LinkChannel>(std::move(session));
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimAccessory>> accessories_;
    std::map<const SimAccessory *, uint32_t> connections_;
};

}  // namespace

void connect(const std::shared_ptr<SimAccessory> &accessory) {
    Link::shared()->connect(accessory);
}

void disconnect(const std::shared_ptr<SimAccessory> &accessory) {
    Link::shared()->disconnect(accessory);
}

}  // namespace hv::sim::inprocess
