// The accessory's management service on "manager": takes DEZ requests (single BER-TLV
// elements, big-endian numbers) off the byte stream and answers each one.
//
//   read_counters CE        -> counters F2 { counter E0 { 0C name, 02 value(4) } ... }
//   reset_counters CF       -> error_code D0 (every counter back to 0)
//   get_capabilities DE     -> capabilities D3 (4 bytes)
//   read_gpio E9 {E1 {02 port(1), 02 mask(2)}}            -> gpio_state D1 (state AND mask)
//   write_gpio EA {E1 {port, mask}, 02 state(2)}           -> error_code D0
//   read_property DB key    -> property_value D2, or a failing error_code for an unknown key
//   write_property EB {0C key, 0C value}                   -> error_code D0
//   firmware_image E8 {02 size(4), 02 offset(4), 04 chunk} -> error_code D0 (see
//                                                             FirmwareReceiver)
//   reset CC                -> error_code D0, then the reset hook
//   anything else, or a malformed request                 -> a failing error_code
//
// Requests must have exactly the fields above, numbers exactly their widths, strings their
// terminating zero and no other zero. Counters, properties and the installed firmware
// survive a power loss; GPIO outputs, sessions and a partly received image do not.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vorasel/sim/Ber.h"
#include "vorasel/sim/Delivery.h"
#include "vorasel/sim/DezFramer.h"
#include "vorasel/sim/Fault.h"
#include "vorasel/sim/FirmwareReceiver.h"
#include "vorasel/sim/PortThreads.h"
#include "vorasel/sim/SessionPort.h"
#include "vorasel/sim/WireRecorder.h"

namespace hv::sim {

// The status byte of the service's error_code answers.
namespace dez_status {
constexpr uint8_t kOk = 0;
constexpr uint8_t kUnknownMessage = 1;
constexpr uint8_t kMalformed = 2;
constexpr uint8_t kUnknownKey = 3;
constexpr uint8_t kNotPermitted = 4;  // read-only property or pins, value too long, store full
constexpr uint8_t kBadPort = 5;
constexpr uint8_t kFirmwareSize = 6;
constexpr uint8_t kFirmwareOffset = 7;
constexpr uint8_t kFirmwareChunk = 8;
constexpr uint8_t kTooLarge = 9;          // request beyond the service's buffer
constexpr uint8_t kFirmwareCorrupt = 10;  // whole image received, its checksum or header wrong
}  // namespace dez_status

// Capability bits.
constexpr uint32_t kCapabilityFingerprint = 1u << 0;
constexpr uint32_t kCapabilitySmartCard = 1u << 1;

struct GpioPort {
    uint8_t port = 0;
    uint16_t state = 0;          // at power-up
    uint16_t writable = 0xFFFF;  // output pins; the others are inputs set by the test
};

struct ManagementConfig {
    uint32_t capabilities = kCapabilitySmartCard;
    // The service counts "power_cycles" (power losses) and "firmware_upgrades" (resets that
    // installed an image) when the list has them.
    std::vector<std::pair<std::string, uint32_t>> counters = {{"power_cycles", 0},
                                                              {"firmware_upgrades", 0}};
    std::vector<GpioPort> gpio = {{0, 0x0000, 0xFFFF}, {1, 0x0000, 0xFFFF}};
    std::map<std::string, std::string> properties = {{"serial_number", "SIM-0001"},
                                                     {"product_name", "Vorasel"}};
    std::set<std::string> readOnlyProperties = {"serial_number"};
    size_t maxProperties = 64;
    size_t maxPropertyValue = 1000;  // characters; keeps an answer inside a 1 KiB host buffer
    size_t maxRequest = 4096;        // largest request taken whole, header included
    uint32_t maxFirmwareImage = 4u << 20;
    size_t firmwareChunk = 512;
    std::string firmwareRevision = "1.0.0";
};

class ManagementService final : public Device {
public:
    // Called on the service's thread after reset has been acknowledged (or its answer was
    // dropped by a fault); the new firmware's revision when a whole image was loaded since
    // the last reset and names one. The hook may call powerLost() but must not destroy the
    // service; detaching and re-attaching after a delay is the accessory assembly's work.
    using ResetHook = std::function<void(std::optional<std::string> newRevision)>;

    explicit ManagementService(ManagementConfig config = {},
                               std::shared_ptr<WireRecorder> recorder = nullptr);
    ~ManagementService() override;
    ManagementService(const ManagementService &) = delete;
    ManagementService &operator=(const ManagementService &) = delete;

    void attachPort(std::shared_ptr<SessionPort> port) override;
    void powerLost() override;

    // Once this returns, the previous hook is neither called nor running any more.
    void setResetHook(ResetHook hook);

    // The accessory's state, for tests and the accessory assembly.
    std::vector<std::pair<std::string, uint32_t>> counters() const;
    void setCounter(const std::string &name, uint32_t value);
    std::optional<uint16_t> gpioState(uint8_t port) const;
    // Drives input pins (those outside the port's writable mask).
    void setGpioInputs(uint8_t port, uint16_t mask, uint16_t state);
    std::optional<std::string> property(const std::string &key) const;
    void setProperty(const std::string &key, const std::string &value);
    void setCapabilities(uint32_t bits);
    std::string firmwareRevision() const;
    // A whole image received and waiting for reset, and the image the last such reset
    // installed.
    std::optional<std::vector<uint8_t>> pendingImage() const;
    std::optional<std::vector<uint8_t>> installedImage() const;
    uint32_t firmwareBytesReceived() const;
    uint32_t resets() const;

    FaultScript &faults() { return faults_; }
    WireRecorder &recorder() { return *recorder_; }
    std::shared_ptr<WireRecorder> sharedRecorder() const { return recorder_; }
    size_t sessionThreads() const { return threads_.running(); }

private:
    struct Answer {
        ber::Bytes bytes;
        bool reset = false;
    };
    void serve(const std::shared_ptr<SessionPort> &port);
    Answer answer(const DezFramer::Event &event);
    Answer request(const ber::Element &e);
    ber::Node readGpio(const ber::Element &e);
    ber::Node writeGpio(const ber::Element &e);
    ber::Node readProperty(const ber::Element &e);
    ber::Node writeProperty(const ber::Element &e);
    ber::Node firmwareImage(const ber::Element &e);
    std::optional<std::string> resetLocked();
    bool sleepFor(Clock::duration d);
    GpioPort *portLocked(uint8_t port);
    void countLocked(const char *name);

    const ManagementConfig config_;
    std::shared_ptr<WireRecorder> recorder_;
    FaultScript faults_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    uint64_t powerEpoch_ = 0;
    uint32_t capabilities_;
    std::vector<std::pair<std::string, uint32_t>> counters_;
    std::vector<GpioPort> gpio_;
    std::map<std::string, std::string> properties_;
    FirmwareReceiver firmware_;
    std::optional<std::vector<uint8_t>> pending_;
    std::optional<std::vector<uint8_t>> installed_;
    std::string revision_;
    uint32_t resets_ = 0;
    std::mutex hookMutex_;  // held while the hook runs; never with mutex_
    ResetHook hook_;        // guarded by hookMutex_

    PortThreads threads_;  // last: joined before the members above go
};

}  // namespace hv::sim
