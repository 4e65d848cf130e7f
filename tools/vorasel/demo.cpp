// `vorasel demo`: the library against the simulated Vorasel case, end to end, as far as the
// library goes today: presence notifications, the management protocol (DEZ requests through
// the session registry, answers through the reassembly handler), and the card reader through
// the library's reader driver: card events, power-on, PPS and protocol parameters, and APDUs
// over T=1 (or T=0) to a virtual card.
//
// The case is embedded in the process, unless VORASEL_ACCESSORYD_SOCKET names a running
// vorasel-accessoryd, whose case is then used instead.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Accessory/HVSessionProtocolDriver.h"
#include "Accessory/Management/HVPAPMessageHandler.h"
#include "Command.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/dez_message.h"
#include "vorasel/lib_tlv_hl.h"
#include "vorasel/sc_atr.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

std::string hex(const uint8_t *p, size_t n, size_t limit = 48) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < limit; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        if (i) s += ' ';
        s += b;
    }
    if (n > limit) s += " ...";
    return s;
}
std::string hex(const Bytes &b) {
    return hex(b.data(), b.size());
}

// What the manager's receive callback gathered. It runs on a session thread, so it only copies
// and signals.
struct Inbox {
    std::mutex mutex;
    Semaphore managerAnswered;
    std::unique_ptr<HVPAPMessageHandler> dez;
    std::optional<Bytes> lastAnswer;  // the last DEZ message, serialised again
};
Inbox inbox;

// Card events the reader driver relays, on its event thread.
struct CardEvents {
    std::mutex mutex;
    std::vector<uint8_t> codes;
    Semaphore arrived;
};
CardEvents cardEvents;

void onReaderEvent(uint8_t code) {
    if (code != HVIFDHEventCardInserted && code != HVIFDHEventCardRemoved) return;
    {
        std::lock_guard lock(cardEvents.mutex);
        cardEvents.codes.push_back(code);
    }
    cardEvents.arrived.signal();
}

// Waits for the next card event of this code.
bool waitForCardEvent(uint8_t code, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(cardEvents.mutex);
            auto it = std::find(cardEvents.codes.begin(), cardEvents.codes.end(), code);
            if (it != cardEvents.codes.end()) {
                cardEvents.codes.erase(cardEvents.codes.begin(), it + 1);
                return true;
            }
        }
        if (!cardEvents.arrived.waitUntil(deadline)) return false;
    }
}

void onManager(uint8_t *data, uint16_t length) {
    if (data && inbox.dez) inbox.dez->handleMessage(data, length);
}

class Demo {
public:
    Demo(std::string card, int apdus) : cardKind_(std::move(card)), apdus_(apdus) {}

    int run();

private:
    bool step(bool ok, const char *what) {
        std::printf("%s %s\n", ok ? "  ok " : "  FAIL", what);
        if (!ok) ++failures_;
        return ok;
    }

    bool waitOnMain(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
        return hv::platform::runCurrentLoopUntil(SteadyClock::now() + timeout, done);
    }

    bool bringUpAccessory();
    void management();
    std::optional<Bytes> dezRequest(tlv_t *request);
    void cardReader();
    std::optional<Bytes> transmit(const Bytes &apdu);
    void tearDown();

    const std::string cardKind_;
    const int apdus_;
    int failures_ = 0;
    uint32_t protocol_ = 2;  // PC/SC value: 1 T=0, 2 T=1
    std::unique_ptr<hv::sim::VoraselCase> embedded_;
    std::vector<std::string> seen_;
    std::mutex seenMutex_;
};

bool Demo::bringUpAccessory() {
    auto &center = hv::platform::NotificationCenter::defaultCenter();
    for (const char *name :
         {HVAccessoryDidConnectNotification, HVAccessoryDidDisconnectNotification,
          HVAccessoryDidConnectNotificationPriority,
          HVAccessoryDidDisconnectNotificationPriority}) {
        center.addObserver(name, &HVAccessory::sharedClass(),
                           [this](const hv::platform::Notification &n) {
                               std::lock_guard lock(seenMutex_);
                               seen_.push_back(n.name);
                           });
    }
    HVAccessory &accessory = HVAccessory::sharedClass();
    const char *daemon =
        std::getenv(hv::platform::SocketAccessoryProvider::SocketEnvironmentVariable);
    if (daemon && *daemon) {
        std::printf("accessory daemon at %s\n", daemon);
        step(accessory.isConnected(), "the daemon's case is attached");
    } else {
        std::printf("embedded simulated case, card \"%s\"\n", cardKind_.c_str());
        embedded_ = std::make_unique<hv::sim::VoraselCase>();
        hv::sim::inprocess::connect(embedded_->sharedAccessory());
        embedded_->accessory().attach();
        const auto t0 = SteadyClock::now();
        const bool announced = waitOnMain(
            [&] {
                std::lock_guard lock(seenMutex_);
                return seen_.size() >= 2;
            },
            3s);
        const double ms =
            std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
        std::printf("  attach announced after %.0f ms (settling) as %s, then %s\n", ms,
                    seen_.size() > 0 ? seen_[0].c_str() : "-",
                    seen_.size() > 1 ? seen_[1].c_str() : "-");
        step(announced && accessory.isConnected(), "HVAccessory reports the case connected");
    }
    std::printf("  model %s, hardware %s\n", accessory.modelNumber().value_or("-").c_str(),
                accessory.hardwareRevision().value_or("-").c_str());
    return accessory.isConnected();
}

std::optional<Bytes> Demo::dezRequest(tlv_t *request) {
    if (!request) return std::nullopt;
    uint8_t *wire = nullptr;
    uint32_t length = 0;
    const bool built = tlv_write_tree(request, &wire, &length) == TLV_OK;
    dez_delete(request);
    if (!built || length > 0xFFFF) {
        std::free(wire);
        return std::nullopt;
    }
    {
        std::lock_guard lock(inbox.mutex);
        inbox.lastAnswer.reset();
    }
    const auto status = HVSessionProtocolDriver::sharedClass().writeData(
        wire, static_cast<uint16_t>(length), HVAccessoryProtocolManager);
    std::free(wire);
    if (status != HVSessionStatusSuccess || !inbox.managerAnswered.waitFor(2s)) return std::nullopt;
    std::lock_guard lock(inbox.mutex);
    return inbox.lastAnswer;
}

void Demo::management() {
    std::printf("management (DEZ on com.vorasel.manager)\n");
    inbox.dez = std::make_unique<HVPAPMessageHandler>(1024, [](tlv_t *message) {
        uint8_t *bytes = nullptr;
        uint32_t length = 0;
        if (tlv_write_tree(message, &bytes, &length) == TLV_OK) {
            std::lock_guard lock(inbox.mutex);
            inbox.lastAnswer = Bytes(bytes, bytes + length);
        }
        std::free(bytes);
        inbox.managerAnswered.signal();
    });
    auto &registry = HVSessionProtocolDriver::sharedClass();
    if (!step(registry.startSessionWithProtocol(HVAccessoryProtocolManager, onManager) == 0,
              "manager session started"))
        return;

    auto parse = [](const Bytes &b) {
        tlv_t *root = nullptr;
        return tlv_parse_buffer(b.data(), &root) == TLV_OK ? root : nullptr;
    };
    if (auto answer = dezRequest(dez_build_simple(DEZ_GET_CAPABILITIES))) {
        tlv_t *root = parse(*answer);
        uint32_t bits = 0;
        const bool ok = root && dez_extract_capabilities(root, &bits) == 0;
        std::printf("  get_capabilities -> %s: fingerprint sensor %s, smart-card reader %s\n",
                    hex(*answer).c_str(), bits & DEZ_CAPABILITY_FINGERPRINT_SENSOR ? "yes" : "no",
                    bits & DEZ_CAPABILITY_SMARTCARD_READER ? "yes" : "no");
        step(ok, "capabilities answered");
        dez_delete(root);
    } else {
        step(false, "capabilities answered");
    }
    if (auto answer = dezRequest(dez_build_simple(DEZ_READ_COUNTERS))) {
        tlv_t *root = parse(*answer);
        dez_counters_list_t *list = nullptr;
        const bool ok = root && dez_extract_counters(root, &list) == 0;
        std::printf("  read_counters ->");
        for (auto *c = list ? list->first : nullptr; c; c = c->next)
            std::printf(" %s=%u", c->name, c->value);
        std::printf("\n");
        step(ok, "counters answered");
        dez_free_counters_list(&list);
        dez_delete(root);
    } else {
        step(false, "counters answered");
    }
    uint8_t port = 1;
    uint16_t mask = 0x0010;
    if (auto answer = dezRequest(dez_build_read_gpio(&port, &mask))) {
        tlv_t *root = parse(*answer);
        uint16_t state = 0;
        const bool ok = root && dez_extract_gpio_state(root, &state) == 0;
        std::printf("  read_gpio port=1 bitmask=0x0010 -> gpio_state 0x%04X\n", state);
        step(ok, "GPIO answered");
        dez_delete(root);
    } else {
        step(false, "GPIO answered");
    }
    registry.endSessionWithProtocol(HVAccessoryProtocolManager);
    inbox.dez.reset();
}

std::optional<Bytes> Demo::transmit(const Bytes &apdu) {
    HVIFDH &driver = HVIFDH::sharedInstance();
    // The response lives in the driver's buffers until its next exchange: copy it under the
    // driver's lock.
    std::lock_guard lock(driver.monitor());
    const uint8_t *response = nullptr;
    uint32_t length = 0;
    if (driver.transmitToICC(apdu.data(), static_cast<uint32_t>(apdu.size()), protocol_, &response,
                             &length) != HVIFDHStatusSuccess)
        return std::nullopt;
    return Bytes(response, response + length);
}

void Demo::cardReader() {
    std::printf("card reader (CCID on com.vorasel.ccidbulk / ccidinterrupt, reader driver)\n");
    HVIFDH &driver = HVIFDH::sharedInstance();
    driver.registerEventCallback(onReaderEvent);
    const HVIFDHStatus opened = driver.open();
    std::printf("  reader \"%s\" open -> %d\n", driver.getName(), opened);
    if (!step(opened == HVIFDHStatusSuccess, "reader sessions started")) return;
    if (embedded_) {
        auto card = hv::sim::makeCard(cardKind_);
        if (!step(card != nullptr, "virtual card made")) return;
        embedded_->insertCard(card);
    }
    step(waitForCardEvent(HVIFDHEventCardInserted, 2s), "card inserted (slot change 50 03)");

    const HVIFDHStatus powered = driver.powerOnICC();
    if (!step(powered == HVIFDHStatusSuccess, "card powered (IccPowerOn, 5 V)")) return;
    const HVIFDHATR stored = driver.ATR();
    const Bytes atr(stored.data, stored.data + stored.length);
    scatr_t parsed;
    const int verdict = scatr_parse(&parsed, atr.data(), static_cast<uint32_t>(atr.size()));
    std::printf("  ATR %s\n", hex(atr).c_str());
    const uint32_t offered = scatr_getAvailProtocols(&parsed);
    std::printf("  protocols:%s%s, default T=%u\n", offered & 1 ? " T=0" : "",
                offered & 2 ? " T=1" : "", scatr_getDefProtocol(&parsed));
    if (!step(verdict == SCATR_OK, "ATR well formed")) return;

    // T=1 when the card offers it, else T=0.
    protocol_ = (offered & 2) ? 2 : 1;
    const HVIFDHStatus set =
        driver.setProtocolParameters(static_cast<uint8_t>(protocol_), 0, 0, 0, 0);
    uint8_t ta1 = 0x11;
    const bool pps = scatr_TXi(&parsed, SCATR_TA, 1, &ta1) == SCATR_BYTE_PRESENT;
    std::printf("  T=%u, Fi/Di %02X%s, response time-out %u ms\n", protocol_ - 1, ta1,
                pps ? " (by PPS)" : "", driver.rsp_timeout());
    if (!step(set == HVIFDHStatusSuccess, "protocol set (PPS, SetParameters)")) return;
    if (protocol_ == 2) {
        uint8_t ifsc = 32, tc = 0;
        scatr_TXi4T(&parsed, SCATR_TA, 1, 1, &ifsc);
        scatr_TXi4T(&parsed, SCATR_TC, 1, 1, &tc);
        std::printf("  IFSC %u, EDC %s\n", ifsc, (tc & 1) ? "CRC" : "LRC");
    }

    const Bytes selectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    auto select = transmit(selectMf);
    std::printf("  SELECT MF %s -> %s\n", hex(selectMf).c_str(),
                select ? hex(*select).c_str() : "none");
    step(select && select->size() >= 2 && (*select)[select->size() - 2] == 0x90,
         "SELECT answered 90 00");

    Bytes small;
    size_t smallAnswer;
    if (protocol_ == 2) {
        // ECHO (INS EE) of 300 bytes: chained both ways.
        Bytes echo = {0x00, 0xEE, 0x00, 0x00, 0x00, 0x01, 0x2C};
        for (int i = 0; i < 300; ++i)
            echo.push_back(static_cast<uint8_t>(i));
        echo.insert(echo.end(), {0x00, 0x00});
        auto echoed = transmit(echo);
        step(echoed && echoed->size() == 302 &&
                 std::equal(echo.begin() + 7, echo.begin() + 307, echoed->begin()),
             "300-byte ECHO came back whole (chained I-blocks both ways)");
        small = {0x00, 0xEE, 0x00, 0x00, 0x04, 1, 2, 3, 4, 0x00};
        smallAnswer = 6;
    } else {
        // A T=0 TPDU asking for 8 pattern bytes.
        const Bytes tpdu = {0x00, 0xEE, 0x00, 0x08, 0x08};
        auto answer = transmit(tpdu);
        std::printf("  ECHO %s -> %s\n", hex(tpdu).c_str(), answer ? hex(*answer).c_str() : "none");
        step(answer && answer->size() >= 2 && answer->back() == 0x00 &&
                 (*answer)[answer->size() - 2] == 0x90,
             "T=0 ECHO answered 90 00");
        small = tpdu;
        smallAnswer = answer ? answer->size() : 0;
    }

    std::vector<double> us;
    for (int i = 0; i < apdus_; ++i) {
        const auto t0 = SteadyClock::now();
        auto r = transmit(small);
        us.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count());
        if (!r || r->size() != smallAnswer) {
            step(false, "short ECHO APDUs");
            break;
        }
    }
    if (!us.empty()) {
        std::sort(us.begin(), us.end());
        std::printf("  %zu short APDUs: median %.1f us, p99 %.1f us per APDU\n", us.size(),
                    us[us.size() / 2], us[us.size() * 99 / 100]);
    }

    step(driver.powerOffICC() == HVIFDHStatusSuccess &&
             driver.slot_state() == HVIFDHSlotStatePresent,
         "card powered off (IccPowerOff)");
    if (embedded_) {
        embedded_->removeCard();
        step(waitForCardEvent(HVIFDHEventCardRemoved, 2s) &&
                 driver.slot_state() == HVIFDHSlotStateAbsent,
             "card removal notified (50 02)");
    }
    driver.unregisterEventCallback();
    driver.close();
}

void Demo::tearDown() {
    if (!embedded_) return;
    const size_t before = [&] {
        std::lock_guard lock(seenMutex_);
        return seen_.size();
    }();
    embedded_->accessory().detach();
    const bool announced = waitOnMain(
        [&] {
            std::lock_guard lock(seenMutex_);
            return seen_.size() >= before + 2;
        },
        3s);
    step(announced && !HVAccessory::sharedClass().isConnected(), "detach announced");
    hv::sim::inprocess::disconnect(embedded_->sharedAccessory());
}

int Demo::run() {
    if (bringUpAccessory()) {
        management();
        cardReader();
        tearDown();
    }
    std::printf("%s\n", failures_ ? "demo FAILED" : "demo passed");
    return failures_ ? 1 : 0;
}

int demoMain(const std::vector<std::string> &args) {
    std::string card = "fast";
    int apdus = 200;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--card" && i + 1 < args.size()) {
            card = args[++i];
        } else if (args[i] == "--apdus" && i + 1 < args.size()) {
            apdus = std::atoi(args[++i].c_str());
            if (apdus < 0) apdus = 0;
        } else {
            std::fprintf(stderr, "vorasel demo: unknown argument '%s'\n", args[i].c_str());
            std::fprintf(stderr,
                         "usage: vorasel demo [--card t1|t1-crc|fast|dual|t0] [--apdus N]\n");
            return 2;
        }
    }
    return Demo(card, apdus).run();
}

const vorasel::tool::Command demoCommand{"demo", "[--card KIND] [--apdus N]",
                                         "run the library against the simulated case", demoMain};

}  // namespace
