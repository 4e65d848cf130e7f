#include <gtest/gtest.h>

#include "CardTestKit.h"
#include "vorasel/sim/IsoCard.h"

namespace hv::sim::test {
namespace {

class T0Card : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(card.powerOn(PowerSelect::V5)); }
    Bytes tpdu(const std::string &text) { return answer(card, hex(text)); }
    VirtualCard card{t0Config()};
};

TEST_F(T0Card, CaseThreeAndCaseTwo) {
    EXPECT_EQ(tpdu("00 A4 00 0C 02 50 00"), hex("90 00"));
    EXPECT_EQ(tpdu("00 A4 02 0C 02 50 01"), hex("90 00"));
    EXPECT_EQ(tpdu("00 B0 00 00 10"), cat(pattern(16), hex("90 00")));
    EXPECT_EQ(tpdu("00 B0 00 00 00"), cat(pattern(256), hex("90 00")));  // P3 0: 256 bytes
}

TEST_F(T0Card, WrongP3IsAnswered6CWithTheRightLength) {
    tpdu("00 A4 00 0C 02 50 00");
    tpdu("00 A4 02 0C 02 50 01");
    EXPECT_EQ(tpdu("00 B0 00 F8 10"), hex("6C 08"));  // 8 bytes left after offset 248
    EXPECT_EQ(tpdu("00 B0 00 F8 08"), cat(pattern(8, 0xF8), hex("90 00")));
}

// The built-in application, recording every command it is handed.
class RecordingIsoCard final : public IsoCard {
public:
    bool process(std::span<const uint8_t> command, Bytes &response) override {
        commands.emplace_back(command.begin(), command.end());
        return IsoCard::process(command, response);
    }
    std::vector<Bytes> commands;
};

TEST(T0Application, GetsEachCommandAsTheTpduCarriesIt) {
    auto app = std::make_shared<RecordingIsoCard>();
    VirtualCard card(t0Config(), app);
    ASSERT_TRUE(card.powerOn(PowerSelect::V5));
    // Case 3 stays case 3: no Le, so SELECT answers no FCP.
    EXPECT_EQ(answer(card, hex("00 A4 00 04 02 50 00")), hex("90 00"));
    // Data answered to a command with data are announced and wait for GET RESPONSE, which
    // the card's transport serves without the application.
    EXPECT_EQ(answer(card, hex("00 EE 00 00 03 0A 0B 0C")), hex("61 03"));
    EXPECT_EQ(answer(card, hex("00 C0 00 00 04")), hex("6C 03"));
    EXPECT_EQ(answer(card, hex("00 C0 00 00 03")), hex("0A 0B 0C 90 00"));
    EXPECT_EQ(answer(card, hex("00 B0 81 00 04")), cat(pattern(4), hex("90 00")));
    EXPECT_EQ(app->commands,
              (std::vector<Bytes>{hex("00 A4 00 04 02 50 00"), hex("00 EE 00 00 03 0A 0B 0C"),
                                  hex("00 B0 81 00 04")}));
}

TEST_F(T0Card, GetResponseInPieces) {
    EXPECT_EQ(tpdu("80 EE 00 00 05 01 02 03 04 05"), hex("61 05"));
    EXPECT_EQ(tpdu("00 C0 00 00 02"), hex("01 02 61 03"));
    EXPECT_EQ(tpdu("00 C0 00 00 03"), hex("03 04 05 90 00"));
    // Nothing pending any more: the application's own answer.
    EXPECT_EQ(tpdu("00 C0 00 00 02"), hex("69 85"));
}

TEST_F(T0Card, UpdateThenReadAndRefusals) {
    tpdu("00 A4 00 0C 02 50 00");
    tpdu("00 A4 02 0C 02 50 01");
    EXPECT_EQ(tpdu("00 D6 00 10 03 AA BB CC"), hex("90 00"));
    EXPECT_EQ(tpdu("00 B0 00 0F 05"), hex("0F AA BB CC 13 90 00"));
    EXPECT_EQ(tpdu("00 D6 00 FF 02 00 00"), hex("6A 84"));
    tpdu("00 A4 02 0C 02 50 03");
    EXPECT_EQ(tpdu("00 D6 00 00 01 00"), hex("69 82"));
    EXPECT_EQ(tpdu("00 D6 00 0F 02 00 00"), hex("69 82"));
}

TEST_F(T0Card, GetChallengeIsFreshEveryTime) {
    const Bytes a = tpdu("00 84 00 00 08");
    const Bytes b = tpdu("00 84 00 00 08");
    ASSERT_EQ(a.size(), 10u);
    expectSw(a, 0x9000);
    EXPECT_NE(a, b);
}

TEST_F(T0Card, MalformedTpdus) {
    EXPECT_TRUE(card.exchange(hex("00 A4 00 0C")).mute);  // header not complete: still waiting
    EXPECT_EQ(tpdu("00 60 00 00 00"), hex("6D 00"));      // INS 6X reads as a procedure byte
    EXPECT_EQ(tpdu("00 92 00 00 00"), hex("6D 00"));
    EXPECT_EQ(tpdu("00 A4 00 0C 03 50 00"), hex("67 00"));  // P3 says 3, 2 data bytes
    EXPECT_EQ(tpdu("00 A4 00 0C 00 50 00"), hex("67 00"));
    EXPECT_EQ(tpdu("00 12 00 00 00"), hex("6D 00"));
    EXPECT_EQ(card.status().commands, 1u);  // only the last one reached the application
}

}  // namespace
}  // namespace hv::sim::test
