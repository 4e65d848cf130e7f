// The reader driver, opened against a scripted reader: every exchange runs on the test's
// thread, answered from within the driver's write.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "CaptureLogger.h"
#include "EventRecorder.h"
#include "ScriptedReader.h"
#include "Smartcard/IFDH/HVIFDH.h"
#include "vorasel/sim/Card.h"
#include "vorasel/sim/Ccid.h"

namespace hv::test {

using Delivery = ScriptedReader::Delivery;

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        reader = std::make_unique<ScriptedReader>();
        driver().registerEventCallback(EventRecorder::callback);
        EventRecorder::shared().clear();
    }
    void TearDown() override {
        driver().unregisterEventCallback();
        driver().setAuto_power_on(false);
        reader.reset();  // closes the driver
        EventRecorder::shared().clear();
    }
    void open() { ASSERT_EQ(driver().open(), HVIFDHStatusSuccess); }

    static HVIFDH &driver() { return HVIFDH::sharedInstance(); }

    // The bytes of a whole response to `command`.
    static Bytes answer(const Bytes &command, uint8_t status = 0x00, const Bytes &data = {},
                        uint8_t error = 0) {
        return ScriptedReader::response(command, status, error, data);
    }
    // A responder that answers every command with bStatus 0 and `data`.
    void answerAll(const Bytes &data = {0x90, 0x00}) {
        reader->setResponder([data](const Bytes &command) -> std::vector<Delivery> {
            if (command.empty()) return {};
            return {Delivery::of(answer(command, 0x00, data))};
        });
    }

    // What a reader with `card` in its slot answers to `command` (power, parameters, blocks),
    // the whole response.
    static Bytes readerAnswer(sim::Card &card, const Bytes &command) {
        const Bytes data(command.begin() + 10, command.end());
        switch (command[0]) {
            case sim::ccid::kIccPowerOn: {
                auto atr = card.powerOn(static_cast<sim::PowerSelect>(command[7]));
                if (!atr) return answer(command, 0x41, {}, sim::ccid::kErrIccMute);
                return answer(command, 0x00, *atr);
            }
            case sim::ccid::kIccPowerOff:
                card.powerOff();
                return answer(command, 0x01);
            case sim::ccid::kSetParameters: {
                const uint8_t error = sim::ccid::checkParameters(command);
                return error ? answer(command, 0x40, {}, error) : answer(command, 0x00, data);
            }
            default: {
                const sim::CardReply reply = card.exchange(data);
                if (reply.removed) return answer(command, 0x42, {}, sim::ccid::kErrIccMute);
                if (reply.mute) return answer(command, 0x40, {}, sim::ccid::kErrIccMute);
                return answer(command, 0x00, reply.bytes);
            }
        }
    }
    // The reader serves this card, every answer whole and at once.
    void serve(std::shared_ptr<sim::Card> card) {
        reader->setResponder([card](const Bytes &command) -> std::vector<Delivery> {
            if (command.empty()) return {};
            return {Delivery::of(readerAnswer(*card, command))};
        });
    }

    struct Xfr {
        HVIFDHStatus status;
        Bytes data;
    };
    Xfr xfr(const Bytes &data, uint8_t bwi = 0) {
        const uint8_t *rsp = nullptr;
        uint32_t len = 0;
        const HVIFDHStatus s =
            driver().ccid_xfr(data.data(), static_cast<uint32_t>(data.size()), &rsp, &len, bwi);
        Xfr x{s, {}};
        if (s == HVIFDHStatusSuccess) x.data.assign(rsp, rsp + len);
        return x;
    }

    std::unique_ptr<ScriptedReader> reader;
};

// The command the driver will build next for an XfrBlock of `data`.
inline Bytes nextXfr(const Bytes &data, uint8_t bwi = 0) {
    const auto n = static_cast<uint32_t>(data.size());
    Bytes m = {0x6F,
               static_cast<uint8_t>(n),
               static_cast<uint8_t>(n >> 8),
               0,
               0,
               0,
               HVIFDH::sharedInstance().sequence(),
               bwi,
               0,
               0};
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

inline Bytes slice(const Bytes &b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(from), b.begin() + static_cast<ptrdiff_t>(to));
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace hv::test
