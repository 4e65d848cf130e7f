#include <gtest/gtest.h>

#include "T1CardScript.h"
#include "vorasel/t1.h"

namespace {

using namespace hv::test;

const Bytes kSelect = hexBytes("00 A4 04 00 00");
const std::string kSelectHex = "00 A4 04 00 00";

class T1Engine : public ::testing::Test {
protected:
    void reset(bool crc, uint8_t ifsc = 32) {
        card_ = T1Card(crc);
        t1_on_reset(ifsc, crc ? 1 : 0);
    }
    // Reset, IFS negotiation and one command: afterwards N(S) is 1 on both sides.
    void settle(bool crc = false, uint8_t ifsc = 32) {
        reset(crc, ifsc);
        ASSERT_TRUE(card_.run(
            kSelect, {dev("00 C1 01 FA"), card("00 E1 01 FA"), dev("00 00 05 " + kSelectHex),
                      card("00 00 02 90 00"), done("90 00")}));
    }
    Bytes badEpilogue(const std::string &hex) {
        Bytes b = card_.withEpilogue(hexBytes(hex));
        b.back() ^= 0x01;
        return b;
    }
    T1Card card_{false};
};

TEST_F(T1Engine, IfsRequestThenChainedCommand) {
    reset(false);
    const Bytes command = hexBytes(counting(40));
    EXPECT_TRUE(card_.run(
        command,
        {dev("00 C1 01 FA"), card("00 E1 01 FA"), dev("00 20 20 " + counting(32)), card("00 90 00"),
         dev("00 40 08 " + counting(8, 32)), card("00 00 02 90 00"), done("90 00")}));
    // Sequence numbers carry over and no IFS request is repeated.
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 00 05 " + kSelectHex), card("00 40 02 6A 82"), done("6A 82")}));
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, IfsRequestRefusedByRBlock) {
    reset(false);
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 C1 01 FA"), card("00 80 00"), dev("00 00 05 " + kSelectHex),
                            card("00 00 02 90 00"), done("90 00")}));
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, WrongIfsAnswersRepeatTheRequest) {
    reset(false);
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 C1 01 FA"), card("00 90 00"),     // N(R) 1: invalid
                            dev("00 C1 01 FA"), card("00 E1 01 20"),  // other size
                            dev("00 C1 01 FA"), card("00 E1 01 FA"), dev("00 00 05 " + kSelectHex),
                            card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, EpilogueEncodings) {
    reset(false);
    EXPECT_TRUE(
        card_.run(kSelect, {devRaw("00 C1 01 FA 3A"), card("00 E1 01 FA"),
                            dev("00 00 05 " + kSelectHex), cardRaw(badEpilogue("00 00 02 90 00")),
                            devRaw("00 80 00 80"), card("00 00 02 90 00"), done("90 00")}));
    reset(true);
    EXPECT_TRUE(
        card_.run(kSelect, {devRaw("00 C1 01 FA 6C A3"), card("00 E1 01 FA"),
                            dev("00 00 05 " + kSelectHex), cardRaw(badEpilogue("00 00 02 90 00")),
                            devRaw("00 80 00 1B 98"), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, CrcBlocksTooShortOrCorruptAreInvalid) {
    reset(true);
    Bytes flipped = card_.withEpilogue(hexBytes("00 00 02 90 00"));
    flipped[3] ^= 0x40;
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 C1 01 FA"), card("00 E1 01 FA"), dev("00 00 05 " + kSelectHex),
                            cardRaw(hexBytes("00 00")), dev("00 80 00"), cardRaw(flipped),
                            dev("00 80 00"), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, ThirdBadBlockResynchronises) {
    settle();
    const std::string bad = "00 00 02 90 00";
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), cardRaw(badEpilogue(bad)),
                            dev("00 90 00"), cardRaw(badEpilogue(bad)), dev("00 90 00"),
                            cardRaw(badEpilogue(bad)), dev("00 C0 00"), card("00 E0 00"),
                            // sequence numbers restart at 0, the command from its start
                            dev("00 00 05 " + kSelectHex), card("00 00 02 90 00"), done("90 00")}));
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, AtMostThreeResynchronisationsPerCommand) {
    settle();
    const std::string first = "00 40 05 " + kSelectHex, again = "00 00 05 " + kSelectHex;
    std::vector<T1Step> script{dev(first),      silence(), dev("00 90 00"), silence(),
                               dev("00 90 00"), silence(), dev("00 C0 00")};
    for (int n = 0; n < 2; ++n) {
        for (auto s : {card("00 E0 00"), dev(again), silence(), dev("00 80 00"), silence(),
                       dev("00 80 00"), silence(), dev("00 C0 00")})
            script.push_back(s);
    }
    for (auto s : {card("00 E0 00"), dev(again), silence(), dev("00 80 00"), silence(),
                   dev("00 80 00"), silence(), ends(T1_FAILED)})
        script.push_back(s);
    EXPECT_TRUE(card_.run(kSelect, script));
    // The count starts afresh with the next command, which first resynchronises the card left
    // in an unknown state, then announces IFSD again.
    EXPECT_TRUE(card_.run(kSelect, {dev("00 C0 00"), silence(), dev("00 C0 00"), silence(),
                                    dev("00 C0 00"), silence(), ends(T1_FAILED)}));
    EXPECT_TRUE(card_.run(
        kSelect,
        {dev("00 C0 00"), card("00 E0 00"), dev("00 C1 01 FA"), card("00 E1 01 FA"), dev(again),
         silence(), dev("00 80 00"), silence(), dev("00 80 00"), silence(), dev("00 C0 00"),
         card("00 E0 00"), dev(again), card("00 00 02 90 00"), done("90 00")}));
}

// A command given up part-way (its answer never taken) must not leave the next command with
// the old sequence numbers: the card would take the new I-block for a repetition and send
// the old answer again. The next command resynchronises first; so does one after an overflow.
TEST_F(T1Engine, CommandAfterAnUnfinishedExchangeResynchronisesFirst) {
    settle(false, 64);
    uint32_t len = 0;
    Bytes rsp(64), block(270);
    t1_setup_cmd(kSelect.data(), rsp.data(), block.data(), block.data(),
                 static_cast<uint32_t>(kSelect.size()));
    ASSERT_EQ(t1_start_transaction(&len), T1_SEND);
    // The card asks for a smaller IFSC, then the caller gives up on the exchange.
    const Bytes ifsRequest = card_.withEpilogue(hexBytes("00 C1 01 10"));
    std::copy(ifsRequest.begin(), ifsRequest.end(), block.begin());
    ASSERT_EQ(t1_on_reply(static_cast<uint32_t>(ifsRequest.size()), &len, nullptr), T1_SEND);
    const Bytes command = hexBytes(counting(40));
    EXPECT_TRUE(card_.run(
        command, {dev("00 C0 00"), card("00 E0 00"), dev("00 C1 01 FA"), card("00 E1 01 FA"),
                  // N(S) 0 again, and the ATR's IFSC of 64 rather than the 16 asked for since
                  dev("00 00 28 " + counting(40)), card("00 00 02 90 00"), done("90 00")}));
    // A finished command leaves nothing to resynchronise.
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), done("90 00")}));
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 00 05 " + kSelectHex), card("00 00 02 90 00"), ends(T1_OVERFLOW)}, 1));
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 C0 00"), card("00 E0 00"), dev("00 C1 01 FA"), card("00 E1 01 FA"),
                  dev("00 00 05 " + kSelectHex), card("00 00 02 90 00"), done("90 00")}));
}

// A resynchronisation brings IFSC back to the ATR's value, whichever way it is reached: a card
// that had raised it answers RESYNCH expecting blocks of the initial size again.
TEST_F(T1Engine, ResynchRestoresTheInitialIfscOnEveryPath) {
    settle();
    const Bytes command = hexBytes(counting(40));
    const std::vector<T1Step> initialSize = {dev("00 20 20 " + counting(32)), card("00 90 00"),
                                             dev("00 40 08 " + counting(8, 32)),
                                             card("00 00 02 90 00"), done("90 00")};
    // The card raises IFSC to 254: the 40 bytes go in one block, until three errors resynch.
    const std::vector<T1Step> raised = {dev("00 40 05 " + kSelectHex), card("00 C1 01 FE"),
                                        dev("00 E1 01 FE"), card("00 40 02 90 00"), done("90 00")};
    EXPECT_TRUE(card_.run(kSelect, raised));
    std::vector<T1Step> script = {dev("00 00 28 " + counting(40)),
                                  silence(),
                                  dev("00 80 00"),
                                  silence(),
                                  dev("00 80 00"),
                                  silence(),
                                  dev("00 C0 00"),
                                  card("00 E0 00")};
    script.insert(script.end(), initialSize.begin(), initialSize.end());
    EXPECT_TRUE(card_.run(command, script));

    // The same through the resynch that starts a command after one given up.
    EXPECT_TRUE(card_.run(kSelect, {dev("00 00 05 " + kSelectHex), card("00 C1 01 FE"),
                                    dev("00 E1 01 FE"), card("00 40 02 90 00"), done("90 00")}));
    uint32_t len = 0;
    Bytes rsp(64), block(270);
    t1_setup_cmd(kSelect.data(), rsp.data(), block.data(), block.data(),
                 static_cast<uint32_t>(kSelect.size()));
    ASSERT_EQ(t1_start_transaction(&len), T1_SEND);  // given up unanswered
    script = {dev("00 C0 00"), card("00 E0 00"), dev("00 C1 01 FA"), card("00 E1 01 FA")};
    script.insert(script.end(), initialSize.begin(), initialSize.end());
    EXPECT_TRUE(card_.run(command, script));
}

TEST_F(T1Engine, UnansweredResynchFails) {
    settle();
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 40 05 " + kSelectHex), silence(), dev("00 90 00"), silence(),
                  dev("00 90 00"), silence(), dev("00 C0 00"), card("00 E1 01 FA"), dev("00 C0 00"),
                  silence(), dev("00 C0 00"), silence(), ends(T1_FAILED)}));
}

TEST_F(T1Engine, ResynchBeforeIfsAnswerAsksForIfsAgain) {
    reset(false);
    EXPECT_TRUE(card_.run(
        kSelect,
        {dev("00 C1 01 FA"), silence(), dev("00 C1 01 FA"), silence(), dev("00 C1 01 FA"),
         silence(), dev("00 C0 00"), card("00 E0 00"), dev("00 C1 01 FA"), card("00 E1 01 FA"),
         dev("00 00 05 " + kSelectHex), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, WaitingTimeExtension) {
    settle();
    // Only the block answering the request carries the multiplier; the others report -1.
    EXPECT_TRUE(card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 C3 01 05"),
                                    dev("00 E3 01 05", 5), card("00 C3 01 01"),
                                    dev("00 E3 01 01", 1), card("00 40 02 90 00"), done("90 00")}));
    EXPECT_TRUE(card_.run(kSelect, {dev("00 00 05 " + kSelectHex), card("00 C3 02 05 05"),
                                    dev("00 80 00"), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, CardChangesIfscMidChain) {
    settle();
    const Bytes command = hexBytes(counting(40));
    EXPECT_TRUE(card_.run(
        command, {dev("00 60 20 " + counting(32)), card("00 C1 01 00"), dev("00 90 00"),
                  card("00 C1 01 FF"), dev("00 90 00"), card("00 C1 01 10"), dev("00 E1 01 10"),
                  // an acknowledgement, then blocks of the new size
                  card("00 80 00"), dev("00 00 08 " + counting(8, 32)), card("00 40 02 90 00"),
                  done("90 00")}));
    EXPECT_TRUE(card_.run(
        command, {dev("00 60 10 " + counting(16)), card("00 80 00"),
                  dev("00 20 10 " + counting(16, 16)), card("00 90 00"),
                  dev("00 40 08 " + counting(8, 32)), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, ChainedResponseIsAssembledInOrder) {
    reset(false);
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 C1 01 FA"), card("00 E1 01 FA"), dev("00 00 05 " + kSelectHex),
                  card("00 20 03 01 02 03"), dev("00 90 00"), card("00 60 02 04 05"),
                  dev("00 80 00"), card("00 00 03 06 90 00"), done("01 02 03 04 05 06 90 00")}));
    EXPECT_EQ(t1_get_rAPDUlength(), 8u);
}

TEST_F(T1Engine, LostAcknowledgementDuringResponseChain) {
    settle();
    // The card repeats its block (our R-block was lost): the wrong N(S) asks again.
    EXPECT_TRUE(card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 60 02 01 02"),
                                    dev("00 80 00"), card("00 60 02 01 02"), dev("00 80 00"),
                                    card("00 00 02 90 00"), done("01 02 90 00")}));
}

TEST_F(T1Engine, LenMustMatchTheReceivedLength) {
    settle();
    EXPECT_TRUE(card_.run(kSelect, {dev("00 40 05 " + kSelectHex),
                                    cardRaw(card_.withEpilogue(hexBytes("00 40 05 90 00"))),
                                    dev("00 90 00"), cardRaw(hexBytes("00")), dev("00 90 00"),
                                    card("00 40 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, ResponseNeverOverrunsItsBuffer) {
    settle();
    EXPECT_TRUE(card_.run(kSelect,
                          {dev("00 40 05 " + kSelectHex), card("00 60 04 01 02 03 04"),
                           dev("00 80 00"), card("00 00 04 05 06 07 08"), ends(T1_OVERFLOW)},
                          6));
    settle();
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 04 01 02 03 04"), done("01 02 03 04")},
        4));
    settle();
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), ends(T1_OVERFLOW)}, 1));
}

// The five-argument setup takes a buffer of T1_RESPONSE_BUFFER_MIN bytes: the largest response
// APDU fits it exactly, and one byte more is refused without touching the bytes behind it.
TEST_F(T1Engine, DefaultResponseBufferHoldsTheLargestResponseApdu) {
    for (const uint32_t last : {6u, 7u}) {
        reset(false, 254);
        Bytes response(T1_RESPONSE_BUFFER_MIN + 16, 0xA5);
        Bytes block(270, 0);
        t1_setup_cmd(kSelect.data(), response.data(), block.data(), block.data(),
                     static_cast<uint32_t>(kSelect.size()));
        uint32_t len = 0;
        ASSERT_EQ(t1_start_transaction(&len), T1_SEND);  // IFS request
        auto answer = [&](const Bytes &b) {
            std::copy(b.begin(), b.end(), block.begin());
            return t1_on_reply(static_cast<uint32_t>(b.size()), &len, nullptr);
        };
        ASSERT_EQ(answer(card_.withEpilogue(hexBytes("00 E1 01 FA"))), T1_SEND);
        const uint32_t full = (T1_RESPONSE_BUFFER_MIN - 6) / 254;  // 258 blocks of 254 bytes
        int r = T1_SEND;
        for (uint32_t n = 0; n <= full && r == T1_SEND; ++n) {
            const bool more = n < full;
            const uint8_t pcb = static_cast<uint8_t>((n % 2 ? 0x40 : 0) | (more ? 0x20 : 0));
            Bytes b = {0x00, pcb, static_cast<uint8_t>(more ? 254 : last)};
            b.resize(3 + b[2], static_cast<uint8_t>(n));
            r = answer(card_.withEpilogue(b));
        }
        if (last == 6) {
            EXPECT_EQ(r, T1_DONE);
            EXPECT_EQ(t1_get_rAPDUlength(), T1_RESPONSE_BUFFER_MIN);
        } else {
            EXPECT_EQ(r, T1_OVERFLOW);
            EXPECT_EQ(t1_get_rAPDUlength(), 0u);
        }
        for (size_t i = T1_RESPONSE_BUFFER_MIN; i < response.size(); ++i)
            ASSERT_EQ(response[i], 0xA5) << "byte " << i;
    }
}

TEST_F(T1Engine, CardAbortsTheExchange) {
    settle();
    EXPECT_TRUE(card_.run(kSelect,
                          {dev("00 40 05 " + kSelectHex), card("00 C2 00"), dev("00 E2 00"),
                           card("00 80 00"), dev("00 90 00"), card("00 90 00"), ends(T1_ABORTED)}));
    EXPECT_TRUE(card_.run(kSelect,
                          {dev("00 40 05 " + kSelectHex), card("00 60 01 01"), dev("00 80 00"),
                           card("00 C2 00"), dev("00 E2 00"), card("00 80 00"), ends(T1_ABORTED)}));
}

TEST_F(T1Engine, RetransmissionAndProtocolSlips) {
    settle();
    // R-block naming our own N(S): send the block again.
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 90 00"),
                            dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), done("90 00")}));
    // A RESYNCH response nobody asked for, an acknowledgement without chaining, an I-block
    // with the wrong N(S) and a non-zero NAD are all invalid.
    EXPECT_TRUE(card_.run(
        kSelect, {dev("00 00 05 " + kSelectHex), card("00 E0 00"), dev("00 80 00"),
                  card("00 90 00"), dev("00 80 00"), card("00 40 02 90 00"), dev("00 C0 00"),
                  card("00 E0 00"), dev("00 00 05 " + kSelectHex), card("21 00 02 90 00"),
                  dev("00 80 00"), card("00 00 02 90 00"), done("90 00")}));
}

TEST_F(T1Engine, ReservedIfscFallsBackToDefault) {
    for (uint8_t ifsc : {0, 255}) {
        reset(false, ifsc);
        EXPECT_TRUE(
            card_.run(hexBytes(counting(40)),
                      {dev("00 C1 01 FA"), card("00 80 00"), dev("00 20 20 " + counting(32)),
                       card("00 90 00"), dev("00 40 08 " + counting(8, 32)), card("00 00 02 90 00"),
                       done("90 00")}))
            << int(ifsc);
    }
}

TEST_F(T1Engine, LargestBlocks) {
    settle(true, 254);
    const Bytes command = hexBytes(counting(300));
    EXPECT_TRUE(card_.run(
        command, {dev("00 60 FE " + counting(254)), card("00 80 00"),
                  dev("00 00 2E " + counting(46, 254)), card("00 60 FE " + counting(254)),
                  dev("00 80 00"), card("00 00 02 90 00"), done(counting(254) + " 90 00")}));
}

TEST_F(T1Engine, BadCallsAreRefused) {
    settle();
    uint32_t len = 99;
    Bytes rsp(16), block(270);
    t1_setup_cmd_with_capacity(kSelect.data(), rsp.data(), block.data(), block.data(), 0, 16);
    EXPECT_EQ(t1_start_transaction(&len), T1_BAD_CALL);
    EXPECT_EQ(len, 0u);
    t1_setup_cmd_with_capacity(kSelect.data(), nullptr, block.data(), block.data(), 5, 16);
    EXPECT_EQ(t1_start_transaction(&len), T1_BAD_CALL);
    t1_setup_cmd_with_capacity(kSelect.data(), rsp.data(), block.data(), block.data(), 5, 16);
    EXPECT_EQ(t1_start_transaction(nullptr), T1_BAD_CALL);
    // No exchange running: replies are refused, and the last response length stays.
    int32_t wtx = 7;
    EXPECT_EQ(t1_on_reply(4, &len, &wtx), T1_BAD_CALL);
    EXPECT_EQ(wtx, -1);
    // A completed exchange keeps its response length for later calls.
    ASSERT_TRUE(
        card_.run(kSelect, {dev("00 40 05 " + kSelectHex), card("00 40 02 90 00"), done("90 00")}));
    EXPECT_EQ(t1_on_reply(4, &len, nullptr), T1_BAD_CALL);
    EXPECT_EQ(t1_get_rAPDUlength(), 2u);
    // The refused calls changed no sequence number.
    EXPECT_TRUE(
        card_.run(kSelect, {dev("00 00 05 " + kSelectHex), card("00 00 02 90 00"), done("90 00")}));
}

}  // namespace
