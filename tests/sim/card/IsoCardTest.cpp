#include <gtest/gtest.h>

#include "CardTestKit.h"
#include "vorasel/sim/Apdu.h"
#include "vorasel/sim/IsoCard.h"

namespace hv::sim::test {
namespace {

TEST(CommandApdu, AllCasesAndMalformedLengths) {
    auto c = parseCommandApdu(hex("00 A4 04 00"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ne, 0u);
    EXPECT_TRUE(c->data.empty());

    c = parseCommandApdu(hex("00 B0 00 00 00"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ne, 256u);
    EXPECT_TRUE(c->leMax);

    c = parseCommandApdu(hex("00 A4 04 00 02 A0 00 10"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->data.size(), 2u);
    EXPECT_EQ(c->ne, 16u);
    EXPECT_FALSE(c->leMax);

    c = parseCommandApdu(hex("00 B0 00 00 00 12 34"));
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->extended);
    EXPECT_EQ(c->ne, 0x1234u);

    Bytes e = cat(hex("00 EE 00 00 00 01 00"), pattern(256));
    c = parseCommandApdu(e);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->data.size(), 256u);
    EXPECT_EQ(c->ne, 0u);
    c = parseCommandApdu(cat(e, hex("00 00")));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ne, 65536u);

    for (const Bytes &bad :
         {hex("00 A4 04"), hex("00 A4 04 00 03 01 02"), hex("00 A4 04 00 01 01 02 03"),
          hex("00 A4 04 00 00 00"), hex("00 A4 04 00 00 00 02 01"), cat(e, hex("00"))})
        EXPECT_FALSE(parseCommandApdu(bad)) << bad.size();
}

class Iso : public ::testing::Test {
protected:
    Bytes run(const Bytes &apdu) {
        Bytes r;
        EXPECT_TRUE(card.process(apdu, r));
        return r;
    }
    Bytes run(const std::string &text) { return run(hex(text)); }
    IsoCard card{[] {
        IsoCardConfig c;
        c.challengeSeed = 42;
        return c;
    }()};
};

TEST_F(Iso, SelectByNameFullAndTruncated) {
    const Bytes fci = run("00 A4 04 00 08 F0 56 4F 52 41 53 45 4C 00");
    expectSw(fci, 0x9000);
    ASSERT_GT(fci.size(), 4u);
    EXPECT_EQ(fci[0], 0x6F);
    const Bytes name = hex("84 08 F0 56 4F 52 41 53 45 4C");
    EXPECT_NE(std::search(fci.begin(), fci.end(), name.begin(), name.end()), fci.end());
    EXPECT_EQ(run("00 A4 04 0C 03 F0 56 4F"), hex("90 00"));
    EXPECT_EQ(run("00 A4 04 0C 03 F0 56 50"), hex("6A 82"));
    EXPECT_EQ(run("00 A4 04 0E 03 F0 56 4F"), hex("6A 82"));  // no next occurrence
    // Selected DF 5000: its EF is reachable by FID.
    EXPECT_EQ(run("00 A4 02 0C 02 50 01"), hex("90 00"));
    EXPECT_EQ(run("00 B0 00 00 02"), hex("00 01 90 00"));
}

TEST_F(Iso, SelectByFidPathAndParent) {
    EXPECT_EQ(run("00 A4 02 0C 02 50 01"), hex("6A 82"));  // not in the MF
    EXPECT_EQ(run("00 A4 08 0C 04 50 00 50 03"), hex("90 00"));
    EXPECT_EQ(run("00 B0 00 00 01"), hex("A0 90 00"));
    EXPECT_EQ(run("00 A4 03 0C"), hex("90 00"));  // parent of DF 5000: the MF
    EXPECT_EQ(run("00 A4 03 0C"), hex("6A 82"));  // the MF has none
    EXPECT_EQ(run("00 A4 09 0C 04 50 00 50 01"), hex("90 00"));
    EXPECT_EQ(run("00 A4 00 0C 02 2F 00"), hex("90 00"));  // from DF 5000: its parent's EF
    EXPECT_EQ(run("00 A4 00 0C 00"), hex("90 00"));        // empty data: the MF
    EXPECT_EQ(run("00 A4 00 0C 02 3F 00"), hex("90 00"));
    EXPECT_EQ(run("00 A4 00 0C 02 2F 00"), hex("90 00"));
    EXPECT_EQ(run("00 A4 00 0C 03 2F 00 00"), hex("67 00"));
    EXPECT_EQ(run("00 A4 05 0C 02 2F 00"), hex("6A 86"));
}

TEST_F(Iso, FcpOnlyWhenLeIsPresent) {
    EXPECT_EQ(run("00 A4 00 04 02 50 00"), hex("90 00"));
    const Bytes fcp = run("00 A4 02 04 02 50 02 00");
    // 62 L 82 01 01 83 02 50 02 80 02 10 00 8A 01 05
    EXPECT_EQ(fcp, hex("62 0E 82 01 01 83 02 50 02 80 02 10 00 8A 01 05 90 00"));
}

TEST_F(Iso, ReadBinaryBoundsAndSfi) {
    run("00 A4 00 0C 02 50 00");
    EXPECT_EQ(run("00 B0 00 00 02"), hex("69 86"));        // no EF selected yet
    EXPECT_EQ(run("00 B0 81 FE 04"), hex("FE FF 62 82"));  // SFI 1 (EF 5001), 2 left of 4
    EXPECT_EQ(run("00 B0 00 FE 00"), hex("FE FF 90 00"));  // Le 00: as much as there is
    EXPECT_EQ(run("00 B0 01 00 01"), hex("6B 00"));
    EXPECT_EQ(run("00 B0 00 00"), hex("67 00"));
    EXPECT_EQ(run("00 B0 9F 00 01"), hex("6A 82"));  // no EF with SFI 31
}

TEST_F(Iso, ExtendedReadAndEcho) {
    run("00 A4 08 0C 04 50 00 50 02");
    const Bytes all = run("00 B0 00 00 00 00 00");
    ASSERT_EQ(all.size(), 4096u + 2);
    for (size_t i = 0; i < 4096; ++i)
        ASSERT_EQ(all[i], static_cast<uint8_t>(i * 7)) << i;
    expectSw(all, 0x9000);

    const Bytes data = pattern(65535, 3);
    const Bytes echo = run(cat(cat(hex("00 EE 00 00 00 FF FF"), data), hex("00 00")));
    EXPECT_EQ(echo, cat(data, hex("90 00")));
}

TEST_F(Iso, LongAnswerIsCutToNeAndFetched) {
    // ECHO of 300 pattern bytes, short Le 00: 256 now, 44 through GET RESPONSE.
    const Bytes first = run("80 EE 01 2C 00");
    ASSERT_EQ(first.size(), 258u);
    expectSw(first, 0x612C);
    EXPECT_EQ(run("00 C0 00 00 10"), cat(pattern(16), hex("61 1C")));
    EXPECT_EQ(run("00 C0 00 00 00"), cat(pattern(28, 16), hex("90 00")));
    EXPECT_EQ(run("00 C0 00 00 00"), hex("69 85"));
    // A new command drops what was pending.
    run("80 EE 01 2C 00");
    run("00 84 00 00 08");
    EXPECT_EQ(run("00 C0 00 00 00"), hex("69 85"));
}

TEST_F(Iso, EchoWithoutLeAnswersAnyway) {
    EXPECT_EQ(run("00 EE 00 00 03 0A 0B 0C"), hex("0A 0B 0C 90 00"));
    EXPECT_EQ(run("00 EE 00 00 03 0A 0B 0C 02"), hex("0A 0B 61 01"));
}

TEST_F(Iso, ClassAndInstructionChecks) {
    EXPECT_EQ(run("80 A4 00 0C 02 3F 00"), hex("6E 00"));
    EXPECT_EQ(run("FF EE 00 00 01 00"), hex("6E 00"));
    EXPECT_EQ(run("01 A4 00 0C 02 3F 00"), hex("68 81"));
    EXPECT_EQ(run("0C A4 00 0C 02 3F 00"), hex("68 82"));
    EXPECT_EQ(run("10 A4 00 0C 02 3F 00"), hex("68 84"));
    EXPECT_EQ(run("00 CA 00 00 00"), hex("6D 00"));
    EXPECT_EQ(run("00 84 00 01 08"), hex("6A 86"));
    EXPECT_EQ(run("00 A4 04"), hex("67 00"));
}

TEST_F(Iso, UpdatesSurviveResetButSelectionDoesNot) {
    run("00 A4 08 0C 04 50 00 50 01");
    EXPECT_EQ(run("00 D6 00 00 02 CA FE"), hex("90 00"));
    card.reset(ResetKind::Cold);
    EXPECT_EQ(run("00 B0 00 00 02"), hex("69 86"));
    run("00 A4 08 0C 04 50 00 50 01");
    EXPECT_EQ(run("00 B0 00 00 03"), hex("CA FE 02 90 00"));
}

TEST_F(Iso, ChallengeFollowsTheSeed) {
    IsoCardConfig c;
    c.challengeSeed = 42;
    IsoCard twin(c);
    Bytes mine = run("00 84 00 00 00"), theirs;
    twin.process(hex("00 84 00 00 00"), theirs);
    EXPECT_EQ(mine.size(), 258u);
    EXPECT_EQ(mine, theirs);
    EXPECT_NE(run("00 84 00 00 08"), Bytes(mine.begin(), mine.begin() + 8));
}

}  // namespace
}  // namespace hv::sim::test
