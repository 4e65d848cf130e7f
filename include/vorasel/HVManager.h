// Accessory management: usage counters, GPIO, properties, capabilities, the library version
// and firmware upgrade, each a request and answer of DEZ messages on the accessory's
// management protocol.
//
// Every request/answer operation opens a management session, sends one request, waits a
// bounded time for the answer (1 s for counters and GPIO, 2 s for properties and
// capabilities), ends the session and returns an HVManagerStatus. The first message after a
// request decides its outcome; anything later (a second answer, an answer that arrives after
// the wait gave up) is ignored, so it never changes the result of another operation. A lost
// session (the accessory detached, the link ended) ends the wait at once with
// HVManagerStatusFailed.
//
// Thread rules: callable from any application thread, never from a receive callback of the
// library. One lock serialises the operations, so at most one request is outstanding; a call
// made while another runs waits for it. The operations block the calling thread for up to their
// time-out; the firmware upgrade for up to 3 s per chunk and 10 s for the reset. Output
// arguments are written only on success, and a null output pointer is allowed (the operation
// runs and its output is dropped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorasel/hv_export.h"
#include "vorasel/lib_tlv_hl.h"

// The result of every management operation.
enum HVManagerStatus : int32_t {
    HVManagerStatusSuccess = 0,
    // The request could not be serialised (a null or over-long argument).
    HVManagerStatusEncodeFailed = 1,
    // No connected accessory offers the management protocol.
    HVManagerStatusAccessoryNotFound = 2,
    // The platform refused to open the management session.
    HVManagerStatusSessionFailed = 3,
    // Any other session failure, no answer in time, an unexpected answer, a failure status from
    // the accessory, or a lost session.
    HVManagerStatusFailed = 4,
};

// One usage counter of the accessory.
class HV_EXPORT HVAccessoryCounter {
public:
    // initWithName:andValue:. The name is copied; null gives an empty name.
    HVAccessoryCounter(const char *name, uint32_t value);

    const std::string &name() const { return name_; }
    uint32_t value() const { return value_; }

private:
    std::string name_;
    uint32_t value_;
};

// Receives the progress of a firmware upgrade. Its one operation is optional: the default does
// nothing, which is the same as not offering it.
class HV_EXPORT HVManagerDelegate {
public:
    virtual ~HVManagerDelegate();
    // After every chunk, on the upgrading thread and with the manager's lock held: 1 - R / S for
    // R bytes still to send of S. Must not call HVManager.
    virtual void hvManagerFirmwareUpgradeProgress(float progress);
};

class HV_EXPORT HVManager {
public:
    // Where readPropertyValue(value, key) may write: the value and its terminating zero never
    // take more (an answer cannot exceed 1,024 bytes, so the value is at most 1,020).
    static constexpr size_t kPropertyValueCapacity = 1024;

    static HVManager &sharedClass();

    // read_counters (1 s): one counter per entry of the answer, in its order, appended to
    // `counters` (which is not emptied first).
    HVManagerStatus readCounters(std::vector<HVAccessoryCounter> &counters);
    // reset_counters (1 s): success when the accessory answers status 0.
    HVManagerStatus resetCounters();
    // read_gpio (1 s): the state of the pins of `bitmask` on `port`.
    HVManagerStatus readGPIOState(uint16_t *state, uint8_t port, uint16_t bitmask);
    // write_gpio (1 s): success when the accessory answers status 0.
    HVManagerStatus writeGPIOState(uint16_t state, uint8_t port, uint16_t bitmask);
    // read_property (2 s): the value and its terminating zero, copied to `value`, which must
    // hold kPropertyValueCapacity (1,024) bytes; nothing beyond that is ever written.
    HVManagerStatus readPropertyValue(char *value, const char *key);
    // The same into a destination of `capacity` bytes. A value that does not fit (with its
    // zero) gives HVManagerStatusFailed and leaves the destination untouched.
    HVManagerStatus readPropertyValueWithCapacity(char *value, size_t capacity, const char *key);
    // write_property (2 s): success when the accessory answers status 0. A request longer than
    // 65,535 bytes gives HVManagerStatusEncodeFailed without sending anything.
    HVManagerStatus writePropertyValue(const char *value, const char *key);
    // get_capabilities (2 s): bit 0 fingerprint sensor, bit 1 smart-card reader.
    HVManagerStatus getCapabilities(uint32_t *capabilities);
    // The library's version string (hv_library_version); always HVManagerStatusSuccess and
    // asks the accessory nothing.
    HVManagerStatus getLibraryVersion(const char **version);

    // Sends the image in chunks of at most 512 bytes, each acknowledged within 3 s, then resets
    // the accessory and waits up to 10 s for it to connect again (HVAccessory's connect
    // announcement). The delegate, if any, is told the progress after every chunk. Success when
    // every chunk was acknowledged with status 0 and the accessory came back. A null image
    // with a non-zero size gives HVManagerStatusEncodeFailed. Called on the thread that runs
    // the main run loop, the reset wait keeps that loop turning, so the announcement is seen.
    HVManagerStatus upgradeFirmwareWithImage(const uint8_t *image, uint32_t size,
                                             HVManagerDelegate *delegate);
    // The accessory-connected observer: ends a reset wait in progress; nothing otherwise.
    void hvAccessoryDidConnect();

    // Serialises and writes one message on the management session of the operation in
    // progress (takes the operations' lock). Outside an operation there is no session and the
    // result is HVManagerStatusFailed.
    HVManagerStatus sendMessage(const tlv_t *message);
    // Session status to manager status: 0 -> 0, 1 -> 3, 2 -> 2, anything else -> 4.
    static HVManagerStatus convertFromSessionStatus(int32_t sessionStatus);

    HVManager(const HVManager &) = delete;
    HVManager &operator=(const HVManager &) = delete;

private:
    HVManager() = default;
};
