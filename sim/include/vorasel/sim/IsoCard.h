// The built-in card application: a small ISO/IEC 7816-4 file system and a few commands.
//
//   SELECT (A4)          P1 00 by FID (empty data or 3F00: the MF), 01 child DF, 02 EF of the
//                        current DF, 03 parent DF, 04 by DF name (right-truncated names match;
//                        first occurrence only), 08 path from the MF, 09 path from the current
//                        DF. P2 0C: no answer data; 00 / 04 / 08: an FCI (6F) / FCP (62) /
//                        FMD (64) template, returned only when Le is present.
//   READ BINARY (B0)     offset in P1-P2, or SFI in P1 (bit 8 set; SFI = low 5 bits of the FID)
//                        and offset in P2. Fewer bytes than an explicit Le asks for: 6282.
//   UPDATE BINARY (D6)   same addressing; 6982 on a read-only EF, 6A84 past the end.
//   GET CHALLENGE (84)   Ne random bytes (at most 256).
//   GET RESPONSE (C0)    the rest of an answer that did not fit Ne (announced by 61xx).
//   ECHO (EE, any class) P1-P2 0000: answers the command data; otherwise answers P1-P2 bytes
//                        (big-endian count) of the pattern 00 01 02 ... FF 00 ... Unlike the
//                        ISO commands it answers its data even without Le.
//
// Any answer longer than Ne is cut to Ne bytes with 61xx, the rest kept for GET RESPONSE.
// Files keep their content across resets, like EEPROM.
#pragma once

#include <cstdint>
#include <vector>

#include "vorasel/sim/Apdu.h"
#include "vorasel/sim/CardApplication.h"

namespace hv::sim {

struct IsoFile {
    uint16_t fid = 0;
    uint16_t parent = 0x3F00;  // FID of the DF that holds it
    bool dedicated = false;    // a DF; otherwise a transparent EF
    Bytes name;                // DF name (AID), DFs only
    Bytes content;             // EF body; its size is the file's size
    bool readOnly = false;
};

struct IsoCardConfig {
    // The MF (3F00) always exists. Defaults: EF 2F00 (32 bytes) in the MF; DF 5000 named
    // F0 56 4F 52 41 53 45 4C holding EF 5001 (256 bytes 00..FF), EF 5002 (4096 bytes, byte i
    // = i * 7 mod 256) and the read-only EF 5003 (16 bytes A0..AF).
    std::vector<IsoFile> files = defaultFiles();
    uint64_t challengeSeed = 0;  // 0: seeded from std::random_device

    static std::vector<IsoFile> defaultFiles();
};

// Status words the card uses.
namespace sw {
inline constexpr uint16_t kOk = 0x9000, kEndOfFile = 0x6282, kWrongLength = 0x6700,
                          kNoLogicalChannel = 0x6881, kNoSecureMessaging = 0x6882,
                          kNoChaining = 0x6884, kSecurity = 0x6982, kNotAllowed = 0x6985,
                          kNoCurrentEf = 0x6986, kNotFound = 0x6A82, kNoSpace = 0x6A84,
                          kBadP1P2 = 0x6A86, kWrongOffset = 0x6B00, kBadIns = 0x6D00,
                          kBadCla = 0x6E00;
}

class IsoCard : public CardApplication {
public:
    static constexpr uint8_t kEchoIns = 0xEE;

    explicit IsoCard(IsoCardConfig config = {});

    ResetAnswer reset(ResetKind kind) override;
    bool process(std::span<const uint8_t> command, Bytes &response) override;

private:
    struct Node {
        IsoFile file;
        int parent = -1;  // index of the parent DF; -1 for the MF
    };

    uint16_t select(const CommandApdu &c, Bytes &data);
    uint16_t readBinary(const CommandApdu &c, Bytes &data);
    uint16_t updateBinary(const CommandApdu &c);
    uint16_t getChallenge(const CommandApdu &c, Bytes &data);
    uint16_t echo(const CommandApdu &c, Bytes &data);
    // Resolves the EF and offset of READ / UPDATE BINARY; a status word on failure.
    uint16_t binaryTarget(const CommandApdu &c, int &ef, size_t &offset);
    int child(int df, uint16_t fid, int wantDf) const;  // wantDf: 1 DF, 0 EF, -1 either
    void fileTemplate(int node, uint8_t tag, Bytes &out) const;
    uint64_t nextRandom();

    std::vector<Node> nodes_;
    int currentDf_ = 0;
    int currentEf_ = -1;
    Bytes scratch_;  // answer data of the command in progress
    Bytes pending_;  // what GET RESPONSE still has to give
    size_t pendingAt_ = 0;
    uint16_t pendingSw_ = sw::kOk;
    uint64_t rng_;
};

}  // namespace hv::sim
