// A simulated accessory: identity, the protocols it offers, the devices behind them, attach
// and detach, and the transport-level faults of its sessions.
//
// A host (the in-process link, or the accessory daemon) learns of attach and detach through
// an AttachListener and opens sessions with openSession(). Each session is a SimSession: two
// bounded pipes and the faults that shape what the host end sees. Devices get the device end
// of every session opened on a protocol they serve.
//
// Not simulated: USB framing, power draw, several accessories sharing one session.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vorasel/sim/BytePipe.h"
#include "vorasel/sim/SessionPort.h"

namespace hv::sim {

struct AccessoryIdentity {
    std::string name = "Vorasel Case";
    std::string manufacturer = "Vorasel";
    std::string modelNumber = "VC-200";
    std::string serialNumber = "SIM-0001";
    std::string firmwareRevision = "1.0.0";
    std::string hardwareRevision = "3";
    std::string protocolPrefix = "com.vorasel";
    // Protocol suffixes offered ("ccidbulk", "manager", ...).
    std::vector<std::string> protocols = {"ccidbulk", "ccidinterrupt", "manager"};
};

// How often a fault applies: the next `times` occasions, or always (times < 0).
struct FaultCount {
    int times = 0;
    bool take() {
        if (times == 0) return false;
        if (times > 0) --times;
        return true;
    }
    static FaultCount always() { return {-1}; }
    static FaultCount once() { return {1}; }
};

// Faults of new sessions on one protocol.
struct SessionFaults {
    FaultCount refuse;           // the accessory refuses to create the session
    FaultCount failInputOpen;    // the input stream fails to open
    FaultCount failOutputOpen;   // the output stream fails to open
    bool holdOpen = false;       // streams stay opening until releaseOpen()
    FaultCount failWrite;        // host writes fail (-1) while the stream still reports open
    std::vector<size_t> chunks;  // host sees received bytes in these pieces (cycled)
    size_t randomChunkMin = 0;   // or in random pieces of [min, max] bytes
    size_t randomChunkMax = 0;
    uint32_t randomSeed = 1;
    // Not a fault: whether the session keeps records() of what the host read and wrote
    // (benchmarks and the daemon turn it off, so that the host side allocates nothing per
    // message). The oldest records go once they pass recordLimit bytes.
    bool record = true;
    size_t recordLimit = size_t{1} << 20;
};

class SimSession {
public:
    enum class OpenState { Opening, Open, Failed };
    struct Error {
        int code;
        std::string description;
    };
    struct Record {
        bool fromHost;  // host to device, else device to host
        std::vector<uint8_t> bytes;
        Clock::time_point when;
    };

    SimSession(std::string protocol, size_t capacity, SessionFaults faults);
    ~SimSession();
    SimSession(const SimSession &) = delete;
    SimSession &operator=(const SimSession &) = delete;

    const std::string &protocol() const { return protocol_; }
    BytePipe &toDevice() { return *toDevice_; }
    BytePipe &toHost() { return *toHost_; }
    std::shared_ptr<SessionPort> devicePort() const { return devicePort_; }

    // Host-end view, shaped by the faults.
    OpenState openState(bool input) const;
    std::optional<Error> error(bool input) const;
    size_t visibleBytes() const;
    void beginDelivery();
    ptrdiff_t hostRead(uint8_t *buf, size_t cap);
    ptrdiff_t hostWrite(const uint8_t *data, size_t len);
    // Blocking forms for a relay: all bytes, waiting for space (false once closed); and the
    // next piece the host is to see, waiting until the deadline (0 on time-out, -1 at end).
    bool hostWriteAll(const uint8_t *data, size_t len);
    // A relay's write: as much as the pipe takes now (-1 once closed), faults aside.
    ptrdiff_t relayWrite(const uint8_t *data, size_t len);
    ptrdiff_t hostReadPiece(uint8_t *buf, size_t cap, Clock::time_point deadline, bool *separate);
    void hostClose();

    // Faults on a running session.
    void releaseOpen();
    void injectError(bool input, int code, std::string description);
    // The next `count` host writes fail, taking nothing, with no error and the stream open.
    void failNextWrites(int count);
    // The device side ends the session: the host sees end of stream.
    void endFromDevice();
    // Both directions have ended.
    bool ended() const { return toDevice_->isClosed() && toHost_->isClosed(); }

    // Called on any thread after every change the host may want to look at. The device end's
    // threads raise it through the pipes and may outlive the session: what they reach is
    // shared with them, never the session itself, and the listener is dropped with the
    // session.
    void setListener(std::function<void()> listener);
    std::vector<Record> records() const;

private:
    struct Signal;
    void changed();

    const std::string protocol_;
    const std::shared_ptr<Signal> signal_;
    std::shared_ptr<BytePipe> toDevice_, toHost_;
    std::shared_ptr<SessionPort> devicePort_;
    mutable std::mutex mutex_;
    SessionFaults faults_;
    OpenState inputOpen_, outputOpen_;
    std::optional<Error> inputError_, outputError_;
    size_t window_ = SIZE_MAX;  // bytes of the current piece still visible
    size_t chunkIndex_ = 0;
    std::mt19937 rng_;
    void keepRecordLocked(bool fromHost, const uint8_t *data, size_t length);
    std::deque<Record> records_;
    size_t recordedBytes_ = 0;
};

class SimAccessory : public std::enable_shared_from_this<SimAccessory> {
public:
    class AttachListener {
    public:
        virtual ~AttachListener() = default;
        virtual void accessoryAttached(SimAccessory &accessory) = 0;
        virtual void accessoryDetached(SimAccessory &accessory) = 0;
    };

    static std::shared_ptr<SimAccessory> create(AccessoryIdentity identity = {});
    ~SimAccessory();

    AccessoryIdentity identity() const;
    std::vector<std::string> protocolStrings() const;
    void setHardwareRevision(std::string revision);

    void addDevice(std::shared_ptr<Device> device, std::vector<std::string> protocols);
    // Once this returns, the previous listener is neither called nor running any more, so
    // its owner may go. Attach and detach reach the listener in the order they happened.
    void setAttachListener(AttachListener *listener);

    void attach();
    void detach();
    bool isAttached() const;
    void setFirmwareRevision(std::string revision);
    // Detach after `detachAfter`, attach again `reattachAfter` later, with a new firmware
    // revision when one is given (what a firmware reset does); without `reattachAfter` the
    // accessory stays detached (a reset that never comes back). Runs on a thread of its own.
    void powerCycle(std::chrono::milliseconds detachAfter,
                    std::optional<std::chrono::milliseconds> reattachAfter,
                    std::optional<std::string> newFirmwareRevision = std::nullopt);
    void waitForPowerCycle();

    // Sessions. Null when the accessory is detached, does not offer the protocol, or refuses.
    // The accessory keeps its open sessions and the latest ended ones.
    std::shared_ptr<SimSession> openSession(const std::string &protocolSuffix);
    // A session with nothing between the host and the devices: they serve `port` itself (the
    // daemon's socket, say), so an exchange wakes no thread but a device's. For hosts that need
    // nothing of a SimSession, which sessions of a protocol do while sessionsShaped(): faults
    // or records are set. False, with nothing opened, when openSession() would give null.
    // `opened` runs once the session is granted, before any device has the port. A detach
    // closes the port, as it ends every session.
    bool openDirectSession(const std::string &protocolSuffix,
                           const std::shared_ptr<SessionPort> &port,
                           const std::function<void()> &opened);
    bool sessionsShaped(const std::string &protocolSuffix) const;

    // Configuration and faults, per protocol suffix.
    void setPipeCapacity(size_t bytes);
    SessionFaults &faults(const std::string &protocolSuffix);  // hold lock() while changing
    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
    std::vector<std::shared_ptr<SimSession>> sessions(const std::string &protocolSuffix) const;
    std::shared_ptr<SimSession> latestSession(const std::string &protocolSuffix) const;
    size_t sessionsOpened(const std::string &protocolSuffix) const;

private:
    explicit SimAccessory(AccessoryIdentity identity);
    void dropSessionsLocked();
    void forgetEndedLocked();
    // The protocol's faults when a session may open now (attached, offered, not refused).
    SessionFaults *grantLocked(const std::string &protocolSuffix);
    // Counts a session opened and names the devices that serve it.
    std::vector<std::shared_ptr<Device>> openedLocked(const std::string &protocolSuffix);

    // Held across a change of attachment and its announcement, and while the listener is
    // replaced; taken before mutex_. Recursive: a listener may attach or detach.
    std::recursive_mutex announceMutex_;
    mutable std::mutex mutex_;
    AccessoryIdentity identity_;
    std::map<std::string, SessionFaults> faults_;
    std::vector<std::shared_ptr<SimSession>> sessions_;
    std::vector<std::weak_ptr<SessionPort>> directPorts_;
    // After the sessions: destroyed first, so the devices' threads have stopped before the
    // sessions they serve go.
    std::vector<std::pair<std::shared_ptr<Device>, std::vector<std::string>>> devices_;
    std::map<std::string, size_t> opened_;
    size_t capacity_ = 512;
    bool attached_ = false;
    AttachListener *listener_ = nullptr;
    std::thread powerCycleThread_;
};

}  // namespace hv::sim
