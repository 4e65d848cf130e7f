#include "vorasel/sim/SimAccessory.h"

#include <algorithm>

namespace hv::sim {

std::shared_ptr<SimAccessory> SimAccessory::create(AccessoryIdentity identity) {
    return std::shared_ptr<SimAccessory>(new SimAccessory(std::move(identity)));
}

SimAccessory::SimAccessory(AccessoryIdentity identity) : identity_(std::move(identity)) {}

SimAccessory::~SimAccessory() {
    waitForPowerCycle();
    std::lock_guard lock(mutex_);
    dropSessionsLocked();
}

AccessoryIdentity SimAccessory::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

std::vector<std::string> SimAccessory::protocolStrings() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto &p : identity_.protocols)
        out.push_back(identity_.protocolPrefix + "." + p);
    return out;
}

void SimAccessory::setHardwareRevision(std::string revision) {
    std::lock_guard lock(mutex_);
    identity_.hardwareRevision = std::move(revision);
}

void SimAccessory::setFirmwareRevision(std::string revision) {
    std::lock_guard lock(mutex_);
    identity_.firmwareRevision = std::move(revision);
}

void SimAccessory::addDevice(std::shared_ptr<Device> device, std::vector<std::string> protocols) {
    std::lock_guard lock(mutex_);
    devices_.emplace_back(std::move(device), std::move(protocols));
}

void SimAccessory::setAttachListener(AttachListener *listener) {
    std::lock_guard announcing(announceMutex_);
    bool attachedNow;
    {
        std::lock_guard lock(mutex_);
        listener_ = listener;
        attachedNow = attached_;
    }
    if (listener && attachedNow) listener->accessoryAttached(*this);
}

void SimAccessory::attach() {
    std::lock_guard announcing(announceMutex_);
    AttachListener *listener;
    {
        std::lock_guard lock(mutex_);
        if (attached_) return;
        attached_ = true;
        listener = listener_;
    }
    if (listener) listener->accessoryAttached(*this);
}

void SimAccessory::detach() {
    std::lock_guard announcing(announceMutex_);
    AttachListener *listener;
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        if (!attached_) return;
        attached_ = false;
        listener = listener_;
        dropSessionsLocked();
        for (auto &[device, protocols] : devices_)
            devices.push_back(device);
    }
    for (auto &device : devices)
        device->powerLost();
    if (listener) listener->accessoryDetached(*this);
}

bool SimAccessory::isAttached() const {
    std::lock_guard lock(mutex_);
    return attached_;
}

void SimAccessory::dropSessionsLocked() {
    // The link is gone: both directions of every session end.
    for (auto &session : sessions_)
        session->hostClose();
    for (auto &weak : directPorts_)
        if (auto port = weak.lock()) port->close();
    directPorts_.clear();
}

void SimAccessory::forgetEndedLocked() {
    // An accessory that serves for a long time opens sessions without end: keep the ones
    // still open and the latest ended ones (tests look at those), let the others go.
    constexpr size_t kKeepEnded = 32;
    size_t ended = 0;
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it)
        if ((*it)->ended() && ++ended > kKeepEnded) (*it).reset();
    std::erase(sessions_, nullptr);
}

void SimAccessory::powerCycle(std::chrono::milliseconds detachAfter,
                              std::optional<std::chrono::milliseconds> reattachAfter,
                              std::optional<std::string> newFirmwareRevision) {
    waitForPowerCycle();
    std::weak_ptr<SimAccessory> weak = weak_from_this();
    std::lock_guard lock(mutex_);
    powerCycleThread_ = std::thread([weak, detachAfter, reattachAfter, newFirmwareRevision] {
        std::this_thread::sleep_for(detachAfter);
        if (auto self = weak.lock()) self->detach();
        if (!reattachAfter) return;
        std::this_thread::sleep_for(*reattachAfter);
        if (auto self = weak.lock()) {
            if (newFirmwareRevision) self->setFirmwareRevision(*newFirmwareRevision);
            self->attach();
        }
    });
}

void SimAccessory::waitForPowerCycle() {
    std::thread t;
    {
        std::lock_guard lock(mutex_);
        t = std::move(powerCycleThread_);
    }
    if (t.joinable()) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

SessionFaults *SimAccessory::grantLocked(const std::string &protocolSuffix) {
    if (!attached_) return nullptr;
    if (std::find(identity_.protocols.begin(), identity_.protocols.end(), protocolSuffix) ==
        identity_.protocols.end())
        return nullptr;
    SessionFaults &f = faults_[protocolSuffix];
    return f.refuse.take() ? nullptr : &f;
}

std::vector<std::shared_ptr<Device>> SimAccessory::openedLocked(const std::string &protocolSuffix) {
    ++opened_[protocolSuffix];
    std::vector<std::shared_ptr<Device>> serving;
    for (auto &[device, protocols] : devices_)
        if (std::find(protocols.begin(), protocols.end(), protocolSuffix) != protocols.end())
            serving.push_back(device);
    return serving;
}

std::shared_ptr<SimSession> SimAccessory::openSession(const std::string &protocolSuffix) {
    std::shared_ptr<SimSession> session;
    std::vector<std::shared_ptr<Device>> serving;
    {
        std::lock_guard lock(mutex_);
        SessionFaults *f = grantLocked(protocolSuffix);
        if (!f) return nullptr;
        session = std::make_shared<SimSession>(protocolSuffix, capacity_, *f);
        // Counts consumed by this session must not apply again to the next one.
        f->failInputOpen.take();
        f->failOutputOpen.take();
        forgetEndedLocked();
        sessions_.push_back(session);
        serving = openedLocked(protocolSuffix);
    }
    for (auto &device : serving)
        device->attachPort(session->devicePort());
    return session;
}

namespace {

// Whether sessions with these faults need a SimSession to shape what the host sees.
bool shaped(const SessionFaults &f) {
    return f.record || f.holdOpen || f.failInputOpen.times != 0 || f.failOutputOpen.times != 0 ||
           f.failWrite.times != 0 || !f.chunks.empty() || f.randomChunkMax > 0;
}

}  // namespace

bool SimAccessory::openDirectSession(const std::string &protocolSuffix,
                                     const std::shared_ptr<SessionPort> &port,
                                     const std::function<void()> &opened) {
    std::vector<std::shared_ptr<Device>> serving;
    {
        std::lock_guard lock(mutex_);
        if (!grantLocked(protocolSuffix)) return false;
        std::erase_if(directPorts_, [](const auto &weak) { return weak.expired(); });
        directPorts_.push_back(port);
        serving = openedLocked(protocolSuffix);
    }
    if (opened) opened();
    for (auto &device : serving)
        device->attachPort(port);
    return true;
}

bool SimAccessory::sessionsShaped(const std::string &protocolSuffix) const {
    std::lock_guard lock(mutex_);
    const auto it = faults_.find(protocolSuffix);
    return shaped(it == faults_.end() ? SessionFaults{} : it->second);
}

void SimAccessory::setPipeCapacity(size_t bytes) {
    std::lock_guard lock(mutex_);
    capacity_ = bytes ? bytes : 1;
}

SessionFaults &SimAccessory::faults(const std::string &protocolSuffix) {
    return faults_[protocolSuffix];
}

std::vector<std::shared_ptr<SimSession>> SimAccessory::sessions(
    const std::string &protocolSuffix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimSession>> out;
    for (const auto &s : sessions_)
        if (s->protocol() == protocolSuffix) out.push_back(s);
    return out;
}

std::shared_ptr<SimSession> SimAccessory::latestSession(const std::string &protocolSuffix) const {
    auto all = sessions(protocolSuffix);
    return all.empty() ? nullptr : all.back();
}

size_t SimAccessory::sessionsOpened(const std::string &protocolSuffix) const {
    std::lock_guard lock(mutex_);
    auto it = opened_.find(protocolSuffix);
    return it == opened_.end() ? 0 : it->second;
}

}  // namespace hv::sim
