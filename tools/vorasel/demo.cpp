// `vorasel demo`: the library against the simulated Vorasel case, end to end, as far as the
// library goes today: presence notifications, the management protocol (DEZ requests through
// the session registry, answers through the reassembly handler), and the card reader at CCID
// level with the library's ATR parser and T=1 engine carrying APDUs to a virtual card.
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
#include "vorasel/HVAccessory.h"
#include "vorasel/dez_message.h"
#include "vorasel/lib_tlv_hl.h"
#include "vorasel/sc_atr.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/t1.h"

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

// What the receive callbacks gathered. They run on session threads, so they only copy and
// signal.
struct Inbox {
    std::mutex mutex;
    Bytes bulk;
    Bytes interrupt;
    bool bulkLost = false;
    Semaphore bulkArrived, interruptArrived, managerAnswered;
    std::unique_ptr<HVPAPMessageHandler> dez;
    std::optional<Bytes> lastAnswer;  // the last DEZ message, serialised again
};
Inbox inbox;

void onBulk(uint8_t *data, uint16_t length) {
    {
        std::lock_guard lock(inbox.mutex);
        if (data)
            inbox.bulk.insert(inbox.bulk.end(), data, data + length);
        else
            inbox.bulkLost = true;
    }
    inbox.bulkArrived.signal();
}

void onInterrupt(uint8_t *data, uint16_t length) {
    if (!data) return;
    {
        std::lock_guard lock(inbox.mutex);
        inbox.interrupt.insert(inbox.interrupt.end(), data, data + length);
    }
    inbox.interruptArrived.signal();
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
    std::optional<Bytes> ccid(Bytes message, std::chrono::milliseconds timeout = 3s);
    std::optional<Bytes> xfr(const uint8_t *data, uint32_t length);
    std::optional<Bytes> transmitT1(const Bytes &apdu);
    void tearDown();

    const std::string cardKind_;
    const int apdus_;
    int failures_ = 0;
    uint8_t seq_ = 0;
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

std::optional<Bytes> Demo::ccid(Bytes message, std::chrono::milliseconds timeout) {
    const uint8_t seq = seq_++;
    message[6] = seq;
    {
        std::lock_guard lock(inbox.mutex);
        inbox.bulk.clear();
    }
    if (HVSessionProtocolDriver::sharedClass().writeData(message.data(),
                                                         static_cast<uint16_t>(message.size()),
                                                         HVAccessoryProtocolCCIDBulk) != 0)
        return std::nullopt;
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(inbox.mutex);
            // Whole messages with this bSeq; time extensions (bmCommandStatus 2) are skipped.
            while (inbox.bulk.size() >= 10) {
                const uint32_t length = inbox.bulk[1] | inbox.bulk[2] << 8 | inbox.bulk[3] << 16 |
                                        static_cast<uint32_t>(inbox.bulk[4]) << 24;
                if (length > 65536 || inbox.bulk.size() < 10 + length) break;
                Bytes reply(inbox.bulk.begin(), inbox.bulk.begin() + 10 + length);
                inbox.bulk.erase(inbox.bulk.begin(), inbox.bulk.begin() + 10 + length);
                if (reply[6] == seq && (reply[7] >> 6) != 2) return reply;
            }
            if (inbox.bulkLost) return std::nullopt;
        }
        if (!inbox.bulkArrived.waitUntil(deadline)) return std::nullopt;
    }
}

std::optional<Bytes> Demo::xfr(const uint8_t *data, uint32_t length) {
    Bytes message = {
        0x6F, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0, 0, 0, 0, 0, 0, 0};
    message.insert(message.end(), data, data + length);
    auto reply = ccid(message);
    if (!reply || (reply->at(7) >> 6) != 0) return std::nullopt;
    return Bytes(reply->begin() + 10, reply->end());
}

std::optional<Bytes> Demo::transmitT1(const Bytes &apdu) {
    static uint8_t response[65536 + 2];
    static uint8_t block[T1_BLOCK_BUFFER_MIN + 16];
    t1_setup_cmd(apdu.data(), response, block, block, static_cast<uint32_t>(apdu.size()),
                 sizeof response);
    uint32_t blockLength = 0;
    int result = t1_start_transaction(&blockLength);
    while (result == T1_SEND) {
        auto reply = xfr(block, blockLength);
        if (!reply || reply->size() > sizeof block) return std::nullopt;
        std::copy(reply->begin(), reply->end(), block);
        int32_t wtx = 0;
        result = t1_on_reply(static_cast<uint32_t>(reply->size()), &blockLength, &wtx);
    }
    if (result != T1_DONE) return std::nullopt;
    return Bytes(response, response + t1_get_rAPDUlength());
}

void Demo::cardReader() {
    std::printf("card reader (CCID on com.vorasel.ccidbulk / ccidinterrupt)\n");
    auto &registry = HVSessionProtocolDriver::sharedClass();
    if (!step(
            registry.startSessionWithProtocol(HVAccessoryProtocolCCIDInterrupt, onInterrupt) == 0 &&
                registry.startSessionWithProtocol(HVAccessoryProtocolCCIDBulk, onBulk) == 0,
            "reader sessions started"))
        return;
    if (embedded_) {
        auto card = hv::sim::makeCard(cardKind_);
        if (!step(card != nullptr, "virtual card made")) return;
        embedded_->insertCard(card);
    }
    const bool inserted = inbox.interruptArrived.waitFor(2s);
    {
        std::lock_guard lock(inbox.mutex);
        std::printf("  slot change %s\n", hex(inbox.interrupt).c_str());
        step(inserted && inbox.interrupt.size() >= 2 && inbox.interrupt[1] == 0x03,
             "card inserted");
        inbox.interrupt.clear();
    }

    auto atrMessage = ccid({0x62, 0, 0, 0, 0, 0, 0, 0x01, 0, 0}, 5s);
    if (!step(atrMessage && (atrMessage->at(7) & 3) == 0, "card powered (IccPowerOn, 5 V)")) return;
    const Bytes atr(atrMessage->begin() + 10, atrMessage->end());
    scatr_t parsed;
    const int verdict = scatr_parse(&parsed, atr.data(), static_cast<uint32_t>(atr.size()));
    std::printf("  ATR %s\n", hex(atr).c_str());
    const uint32_t offered = scatr_getAvailProtocols(&parsed);
    std::printf("  protocols:%s%s, default T=%u\n", offered & 1 ? " T=0" : "",
                offered & 2 ? " T=1" : "", scatr_getDefProtocol(&parsed));
    if (!step(verdict == SCATR_OK, "ATR well formed")) return;
    if (!(offered & 2)) {
        std::printf("  (the demo carries APDUs over T=1; this card offers no T=1)\n");
        return;
    }

    uint8_t ta1 = 0x11;
    scatr_TXi(&parsed, SCATR_TA, 1, &ta1);
    if (ta1 != 0x11 || scatr_getDefProtocol(&parsed) != 1) {
        const uint8_t pps[4] = {0xFF, 0x11, ta1, static_cast<uint8_t>(0xFF ^ 0x11 ^ ta1)};
        auto answer = xfr(pps, sizeof pps);
        std::printf("  PPS %s -> %s\n", hex(pps, 4).c_str(),
                    answer ? hex(*answer).c_str() : "none");
        if (!step(answer && answer->size() == 4 && std::equal(pps, pps + 4, answer->begin()),
                  "PPS accepted (T=1, Fi/Di from TA1)"))
            return;
    }
    uint8_t ifsc = 32, tc = 0, tb = 0x4D;
    scatr_TXi4T(&parsed, SCATR_TA, 1, 1, &ifsc);
    scatr_TXi4T(&parsed, SCATR_TB, 1, 1, &tb);
    scatr_TXi4T(&parsed, SCATR_TC, 1, 1, &tc);
    const uint8_t edc = tc & 1;
    auto params = ccid({0x61, 7, 0, 0, 0, 0, 0, 0x01, 0, 0, ta1, static_cast<uint8_t>(0x10 | edc),
                        0, tb, 0, ifsc, 0});
    if (!step(params && (params->at(7) >> 6) == 0, "T=1 parameters set (SetParameters)")) return;
    t1_on_reset(ifsc, edc);
    std::printf("  IFSC %u, EDC %s\n", ifsc, edc ? "CRC" : "LRC");

    const Bytes selectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    auto select = transmitT1(selectMf);
    std::printf("  SELECT MF %s -> %s\n", hex(selectMf).c_str(),
                select ? hex(*select).c_str() : "none");
    step(select && select->size() >= 2 && (*select)[select->size() - 2] == 0x90,
         "SELECT answered 90 00");

    // ECHO (INS EE) of 300 bytes: chained both ways.
    Bytes echo = {0x00, 0xEE, 0x00, 0x00, 0x00, 0x01, 0x2C};
    for (int i = 0; i < 300; ++i)
        echo.push_back(static_cast<uint8_t>(i));
    echo.insert(echo.end(), {0x00, 0x00});
    auto echoed = transmitT1(echo);
    step(echoed && echoed->size() == 302 &&
             std::equal(echo.begin() + 7, echo.begin() + 307, echoed->begin()),
         "300-byte ECHO came back whole (chained I-blocks both ways)");

    std::vector<double> us;
    const Bytes small = {0x00, 0xEE, 0x00, 0x00, 0x04, 1, 2, 3, 4, 0x00};
    for (int i = 0; i < apdus_; ++i) {
        const auto t0 = SteadyClock::now();
        auto r = transmitT1(small);
        us.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count());
        if (!r || r->size() != 6) {
            step(false, "short ECHO APDUs");
            break;
        }
    }
    if (!us.empty()) {
        std::sort(us.begin(), us.end());
        std::printf("  %zu short APDUs: median %.1f us, p99 %.1f us per APDU\n", us.size(),
                    us[us.size() / 2], us[us.size() * 99 / 100]);
    }

    auto off = ccid({0x63, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    step(off && (off->at(7) & 3) == 1, "card powered off (IccPowerOff)");
    if (embedded_) {
        embedded_->removeCard();
        const bool removed = inbox.interruptArrived.waitFor(2s);
        std::lock_guard lock(inbox.mutex);
        step(removed && inbox.interrupt.size() >= 2 && inbox.interrupt[1] == 0x02,
             "card removal notified (50 02)");
    }
    registry.endSessionWithProtocol(HVAccessoryProtocolCCIDBulk);
    registry.endSessionWithProtocol(HVAccessoryProtocolCCIDInterrupt);
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
