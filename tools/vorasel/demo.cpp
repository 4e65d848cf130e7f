// `vorasel demo`: the library against the simulated Vorasel case, end to end, as far as the
// library goes today: presence notifications, the management protocol (DEZ requests through
// the session registry, answers through the reassembly handler), and the card reader through
// the PC/SC functions an application calls: a context, the card seen by a status-change wait,
// a connection (power-on, PPS and protocol parameters underneath), APDUs over T=1 (or T=0) to
// a virtual card, the disconnection, the card's removal seen the same way, and the release.
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
#include "CaptureOption.h"
#include "Command.h"
#include "Platform/Linux/SocketAccessoryProvider.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Platform/Semaphore.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVLog.h"
#include "vorasel/dez_message.h"
#include "vorasel/lib_tlv_hl.h"
#include "vorasel/sc_atr.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"
#include "vorasel/winscard.h"

namespace {

using hv::platform::RunLoop;
using hv::platform::Semaphore;
using hv::platform::SteadyClock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Prints the library's log lines on stderr.
class StderrLogger : public HVDDAbstractLogger {
public:
    void logMessage(const HVDDLogMessage &m) override {
        std::fprintf(stderr, "  | %s\n", m.logMsg.c_str());
    }
    std::string loggerName() override { return "vorasel.demo.stderr"; }
};

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
    bool waitForState(DWORD bits, std::chrono::milliseconds timeout);
    void tearDown();

    const std::string cardKind_;
    const int apdus_;
    int failures_ = 0;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = SCARD_PROTOCOL_T1;
    DWORD state_ = SCARD_STATE_UNAWARE;  // the reader state last reported
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
        std::string error;
        if (!vorasel::tool::startCapture(*embedded_, error)) {
            std::printf("  %s\n", error.c_str());
            return step(false, "capture started");
        }
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
    static uint8_t response[65536 + 2];
    DWORD length = sizeof response;
    const LONG rv =
        SCardTransmit(card_, protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                      apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response, &length);
    if (rv != SCARD_S_SUCCESS) {
        std::printf("  SCardTransmit -> 0x%08X\n", static_cast<unsigned>(rv));
        return std::nullopt;
    }
    return Bytes(response, response + length);
}

// Waits with SCardGetStatusChange until the reader state has `bits`.
bool Demo::waitForState(DWORD bits, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (SteadyClock::now() < deadline) {
        SCARD_READERSTATE state = {};
        state.szReader = sc_reader_name;
        state.dwCurrentState = state_;
        const LONG rv = SCardGetStatusChange(context_, 100, &state, 1);
        if (rv == SCARD_S_SUCCESS) {
            state_ = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            std::printf("  SCardGetStatusChange -> reader state 0x%04X\n", state_);
        }
        if ((state_ & bits) == bits) return true;
    }
    return false;
}

void Demo::cardReader() {
    std::printf(
        "card reader (PC/SC functions over CCID on com.vorasel.ccidbulk / ccidinterrupt)\n");
    if (!step(
            SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_) == SCARD_S_SUCCESS,
            "SCardEstablishContext (the reader opens)"))
        return;
    char readers[64];
    DWORD length = sizeof readers;
    const LONG listed = SCardListReaders(context_, nullptr, readers, &length);
    std::printf("  reader \"%s\"\n", listed == SCARD_S_SUCCESS ? readers : "-");
    step(listed == SCARD_S_SUCCESS, "SCardListReaders");
    if (embedded_) {
        auto card = hv::sim::makeCard(cardKind_);
        if (!step(card != nullptr, "virtual card made")) return;
        embedded_->insertCard(card);
    }
    if (!step(waitForState(SCARD_STATE_PRESENT, 3s), "card seen by SCardGetStatusChange")) return;

    const LONG connected = SCardConnect(context_, sc_reader_name, SCARD_SHARE_SHARED,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
    std::printf("  SCardConnect -> 0x%08X, handle 0x%08X, T=%u\n", static_cast<unsigned>(connected),
                card_, protocol_ == SCARD_PROTOCOL_T0 ? 0u : 1u);
    if (!step(connected == SCARD_S_SUCCESS, "connected (power-on, PPS, protocol parameters)"))
        return;
    uint8_t atrBytes[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atrBytes, cardState = 0;
    step(SCardStatus(card_, nullptr, nullptr, &cardState, nullptr, atrBytes, &atrLength) ==
             SCARD_S_SUCCESS,
         "SCardStatus");
    const Bytes atr(atrBytes, atrBytes + atrLength);
    scatr_t parsed;
    const int verdict = scatr_parse(&parsed, atr.data(), static_cast<uint32_t>(atr.size()));
    std::printf("  ATR %s, card state %u\n", hex(atr).c_str(), cardState);
    const uint32_t offered = scatr_getAvailProtocols(&parsed);
    std::printf("  protocols:%s%s, default T=%u\n", offered & 1 ? " T=0" : "",
                offered & 2 ? " T=1" : "", scatr_getDefProtocol(&parsed));
    step(verdict == SCATR_OK, "ATR well formed");
    if (protocol_ == SCARD_PROTOCOL_T1) {
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
    if (protocol_ == SCARD_PROTOCOL_T1) {
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
        std::printf("  %zu short APDUs through SCardTransmit: median %.1f us, p99 %.1f us\n",
                    us.size(), us[us.size() / 2], us[us.size() * 99 / 100]);
    }

    step(SCardDisconnect(card_, SCARD_UNPOWER_CARD) == SCARD_S_SUCCESS,
         "SCardDisconnect (card powered off)");
    if (embedded_) {
        embedded_->removeCard();
        step(waitForState(SCARD_STATE_EMPTY, 3s), "card removal seen by SCardGetStatusChange");
    }
    step(SCardReleaseContext(context_) == SCARD_S_SUCCESS,
         "SCardReleaseContext (the reader closes)");
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
    vorasel::tool::reportCapture(*embedded_);
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
    bool log = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--card" && i + 1 < args.size()) {
            card = args[++i];
        } else if (args[i] == "--apdus" && i + 1 < args.size()) {
            apdus = std::atoi(args[++i].c_str());
            if (apdus < 0) apdus = 0;
        } else if (args[i] == "--log") {
            log = true;
        } else {
            std::fprintf(stderr, "vorasel demo: unknown argument '%s'\n", args[i].c_str());
            std::fprintf(
                stderr,
                "usage: vorasel demo [--card t1|t1-crc|fast|dual|t0] [--apdus N] [--log]\n");
            return 2;
        }
    }
    if (log) {
        HVDDLog::addLogger(std::make_shared<StderrLogger>());
        hvLogLevel = HVLogLevelVerbose;
    }
    return Demo(card, apdus).run();
}

const char *const kDemoHelp =
    "usage: vorasel demo [--card t1|t1-crc|fast|dual|t0] [--apdus N] [--log]\n"
    "  runs the library against the simulated case end to end: presence, the\n"
    "  management protocol, then a PC/SC session sending N APDUs (default 200)\n"
    "  to the card KIND (default fast); --log prints the library's log on stderr\n"
    "  exit status: 0 every step passed, 1 a step failed, 2 bad arguments\n";

const vorasel::tool::Command demoCommand{"demo", "[--card KIND] [--apdus N]",
                                         "run the library against the simulated case", demoMain,
                                         kDemoHelp};

}  // namespace
