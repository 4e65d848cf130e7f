// One open session on one accessory protocol: a thread of its own running the streams' event
// loop, a write path that hands an unready write to that thread, and a receive path that
// delivers every received chunk to a callback.
//
// Thread rules: startSession, endSession and writeData run on the caller's thread;
// handleEvent and both workers run on the session thread, under the session's object lock,
// so the receive callback is called with that lock held and must not call back into the
// session registry. Lock order: registry lock, then writeLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/ExternalAccessory/EASession.h"
#include "Platform/ExternalAccessory/Stream.h"
#include "Platform/RunLoop.h"
#include "Platform/Thread.h"

enum HVAccessoryProtocol : int32_t {
    HVAccessoryProtocolSensor = 0,
    HVAccessoryProtocolCCIDControl = 1,
    HVAccessoryProtocolCCIDBulk = 2,
    HVAccessoryProtocolCCIDInterrupt = 3,
    HVAccessoryProtocolTrace = 4,
    HVAccessoryProtocolManager = 5,
};

enum HVSessionStatus : int32_t {
    HVSessionStatusSuccess = 0,
    HVSessionStatusCreateFailed = 1,
    HVSessionStatusAccessoryNotFound = 2,
    HVSessionStatusError = 3,
};

enum HVSessionState : int32_t {
    HVSessionStateIdle = 0,
    HVSessionStateStarting = 1,
    HVSessionStateRunning = 2,
    HVSessionStateEnding = 3,
    HVSessionStateEnded = 4,
    HVSessionStateFailed = 5,
};

// Received bytes, valid only during the call; (null, 0) means the session was lost.
typedef void (*HVSessionReceiveCallback)(uint8_t *data, uint16_t length);

// The reverse-DNS part of every protocol string.
inline constexpr const char *HVVendorProtocolPrefix = "com.vorasel";

class HVProtocolSession : public hv::platform::StreamDelegate,
                          public std::enable_shared_from_this<HVProtocolSession> {
public:
    // The protocol string of a protocol, or null outside 0..5.
    static const char *stringFromProtocol(int32_t protocol);

    // initWithProtocol:andSession:andCallback:
    HVProtocolSession(HVAccessoryProtocol protocol,
                      std::shared_ptr<hv::platform::EASession> session,
                      HVSessionReceiveCallback callback);
    ~HVProtocolSession() override;

    // True when the session reached HVSessionStateRunning.
    bool startSession();
    // Stops the session thread and waits for it.
    void endSession();
    HVSessionStatus writeData(const uint8_t *data, uint16_t length);

    // stream:handleEvent:
    void handleEvent(hv::platform::Stream &stream, hv::platform::StreamEvent event) override;
    void handleStreamHasAvailableBytes(hv::platform::InputStream &stream);
    void handleStreamHasSpaceAvailable(hv::platform::OutputStream &stream);
    const char *stringFromStream(const hv::platform::Stream &stream) const;

    // Told once, on the session thread, when either stream ends or fails, whatever the
    // protocol: for a user that must learn of a loss the receive callback is not told of. Set
    // after the streams ended, it is called at once on the calling thread. It must not call
    // back into the session or the registry; null removes it.
    void setLossObserver(std::function<void()> observer);

    HVAccessoryProtocol protocol() const { return protocol_; }
    const std::shared_ptr<hv::platform::EASession> &session() const { return session_; }
    HVSessionState state() const { return static_cast<HVSessionState>(state_.load()); }

    // How long a new session's streams may take to open before the session fails.
    static constexpr auto kOpenTimeout = std::chrono::seconds(2);

private:
    void runSessionThread();
    void setState(int32_t state);
    void wakeWaiter();

    std::shared_ptr<hv::platform::EASession> session_;
    const HVAccessoryProtocol protocol_;
    const HVSessionReceiveCallback callback_;
    std::mutex writeLock_;
    hv::platform::Thread sessionThread_;
    // Reserved once: a write that cannot go out at once waits here, never in a fresh copy.
    std::unique_ptr<uint8_t[]> pendingBuffer_;
    uint8_t *remainingData_ = nullptr;  // into pendingBuffer_ while pending; guarded by writeLock_
    uint16_t remainingDataLength_ = 0;  // guarded by writeLock_
    std::atomic<int32_t> state_{HVSessionStateIdle};

    std::recursive_mutex objectLock_;
    std::vector<uint8_t> received_;  // the read worker's growable buffer, reused per event
    std::mutex waiterMutex_;
    std::shared_ptr<hv::platform::RunLoop> waiter_;       // caller waiting in start/end
    std::shared_ptr<hv::platform::RunLoop> sessionLoop_;  // the session thread's loop
    std::shared_ptr<HVProtocolSession> keepAlive_;        // handed to the running thread

    std::mutex lossMutex_;
    std::function<void()> lossObserver_;  // guarded by lossMutex_
    bool lost_ = false;                   // guarded by lossMutex_
    void noteLoss();
};
