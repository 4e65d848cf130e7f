// DEZ builders: exact wire bytes, in-place conversion, no copies, no leftovers on failure.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "../../tlv/TlvTestUtil.h"
#include "vorasel/dez_message.h"
#include "vorasel/marshal.h"

using hv::test::Bytes;
using hv::test::FailNthAllocation;
using hv::test::hex;
using hv::test::hexOf;
using hv::test::serialise;
using hv::test::Tree;

namespace {

std::string wire(tlv_t *message) {
    Tree tree(message);
    EXPECT_TRUE(tree);
    return tree ? hexOf(serialise(tree.get())) : "";
}

TEST(DezBuild, EmptyAndSingleValueMessages) {
    EXPECT_EQ(wire(dez_build_simple(DEZ_READ_COUNTERS)), "CE 00");
    EXPECT_EQ(wire(dez_build_simple(DEZ_RESET)), "CC 00");

    uint32_t bits = 3;
    EXPECT_EQ(wire(dez_build_capabilities(&bits)), "D3 04 00 00 00 03");
    EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t *>(&bits), 4), "00 00 00 03");

    uint32_t code = 0x102;
    EXPECT_EQ(wire(dez_build_error_code(&code)), "D0 01 02");

    uint16_t state = 0x1234;
    EXPECT_EQ(wire(dez_build_gpio_state(&state)), "D1 02 12 34");
    EXPECT_EQ(wire(dez_build_read_property("ab")), "DB 03 61 62 00");
    EXPECT_EQ(wire(dez_build_property_value("")), "D2 01 00");
}

TEST(DezBuild, GpioAndPropertyMessages) {
    uint8_t port = 1;
    uint16_t mask = 0x0010;
    EXPECT_EQ(wire(dez_build_read_gpio(&port, &mask)), "E9 09 E1 07 02 01 01 02 02 00 10");

    port = 2;
    mask = 0x00FF;
    uint16_t state = 0x0102;
    EXPECT_EQ(wire(dez_build_write_gpio(&port, &mask, &state)),
              "EA 0D E1 07 02 01 02 02 02 00 FF 02 02 01 02");

    EXPECT_EQ(wire(dez_build_write_property("a", "b")), "EB 08 0C 02 61 00 0C 02 62 00");
}

TEST(DezBuild, FirmwareImagePointsAtTheCallersChunk) {
    Bytes image(1000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i);
    uint32_t size = 1000, offset = 512;
    Tree message(dez_build_firmware_image(&size, &offset, image.data() + 512, 488));
    ASSERT_TRUE(message);
    // No copy: the chunk node refers to the caller's bytes.
    EXPECT_EQ(message->last_child->value, image.data() + 512);
    const Bytes bytes = serialise(message.get());
    ASSERT_EQ(bytes.size(), 508u);
    EXPECT_EQ(hexOf(bytes.data(), 20),
              "E8 82 01 F8 02 04 00 00 03 E8 02 04 00 00 02 00 04 82 01 E8");
    EXPECT_TRUE(std::equal(bytes.begin() + 20, bytes.end(), image.begin() + 512));

    uint32_t fullSize = 1024, start = 0;
    Tree full(dez_build_firmware_image(&fullSize, &start, image.data(), 512));
    const Bytes fullBytes = serialise(full.get());
    ASSERT_EQ(fullBytes.size(), 532u);
    EXPECT_EQ(hexOf(fullBytes.data(), 20),
              "E8 82 02 10 02 04 00 00 04 00 02 04 00 00 00 00 04 82 02 00");
}

TEST(DezBuild, ImageTakesPixelCountFromHostValuesAndLowBytesOfWideFields) {
    uint16_t p1 = 3, p2 = 2, p3 = 0x0A0B, p4 = 4;
    uint32_t p5 = 0x11223344, p6 = 0xAABBCCDD;
    const uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(wire(dez_build_image(&p1, &p2, &p3, &p4, &p5, &p6, pixels)),
              "F0 21 E2 17 02 02 00 03 02 02 00 02 02 02 0A 0B 02 02 00 04 02 01 44 02 02 CC DD "
              "04 06 01 02 03 04 05 06");

    uint32_t result = 0x1FF;
    uint16_t v[6] = {1, 2, 3, 4, 5, 0xFFFF};
    EXPECT_EQ(wire(dez_build_selftest_result(&result, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5])),
              "F4 1B 02 01 FF 02 02 00 01 02 02 00 02 02 02 00 03 02 02 00 04 02 02 00 05 02 02 "
              "FF FF");
}

TEST(DezBuild, CountersFollowListOrderAndConvertEachValue) {
    dez_counter_t second{"b", 0x0102, nullptr, nullptr};
    dez_counter_t first{"a", 7, &second, nullptr};
    second.previous = &first;
    dez_counters_list_t list{&first, &second};
    EXPECT_EQ(wire(dez_build_counters(&list)),
              "F2 18 E0 0A 0C 02 61 00 02 04 00 00 00 07 E0 0A 0C 02 62 00 02 04 00 00 01 02");
    EXPECT_EQ(decode32(reinterpret_cast<const uint8_t *>(&second.value)), 0x0102u);

    dez_counters_list_t empty{nullptr, nullptr};
    EXPECT_EQ(wire(dez_build_counters(&empty)), "F2 00");
    EXPECT_EQ(dez_build_counters(nullptr), nullptr);
}

TEST(DezBuild, MissingStringGivesNoMessage) {
    EXPECT_EQ(dez_build_write_property("k", nullptr), nullptr);
    EXPECT_EQ(dez_build_read_property(nullptr), nullptr);
    uint8_t b = 1;
    EXPECT_EQ(dez_build_identity(&b, "a", nullptr, "c", "d", &b), nullptr);
}

// Every allocation of every multi-node builder fails once in turn; each time the builder
// must give null and leave nothing behind (ASan's leak check runs at exit).
TEST(DezBuild, AnyFailedNodeGivesNullAndNoLeftovers) {
    static const uint8_t bytes[16] = {};
    const std::vector<std::pair<const char *, std::function<tlv_t *()>>> builders = {
        {"write_property", [] { return dez_build_write_property("k", "v"); }},
        {"write_gpio",
         [] {
             uint8_t p = 1;
             uint16_t m = 2, s = 3;
             return dez_build_write_gpio(&p, &m, &s);
         }},
        {"firmware_image",
         [] {
             uint32_t a = 1, b = 2;
             return dez_build_firmware_image(&a, &b, bytes, 16);
         }},
        {"image",
         [] {
             uint16_t p1 = 4, p2 = 4, p3 = 0, p4 = 0;
             uint32_t p5 = 0, p6 = 0;
             return dez_build_image(&p1, &p2, &p3, &p4, &p5, &p6, bytes);
         }},
        {"identity_4",
         [] {
             uint8_t b1 = 1, b2 = 2, b3 = 3;
             return dez_build_identity_4(&b1, "x", "y", &b2, "z", &b3);
         }},
        {"counters",
         [] {
             static dez_counter_t two{"two", 2, nullptr, nullptr};
             static dez_counter_t one{"one", 1, &two, nullptr};
             static dez_counters_list_t list{&one, &two};
             return dez_build_counters(&list);
         }},
    };
    for (const auto &[name, build] : builders) {
        int n = 0;
        for (;; ++n) {
            FailNthAllocation failure(n);
            tlv_t *message = build();
            if (!failure.triggered()) {
                EXPECT_NE(message, nullptr) << name;
                tlv_delete(message);
                break;
            }
            EXPECT_EQ(message, nullptr) << name << " allocation " << n;
        }
        EXPECT_GT(n, 2) << name;
    }
}

TEST(DezMarshal, EncodesInPlaceAndDecodesBigEndian) {
    uint32_t v32 = 0x01020304;
    EXPECT_EQ(inplace_encode32(&v32), &v32);
    EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t *>(&v32), 4), "01 02 03 04");
    uint16_t v16 = 0xA1B2;
    EXPECT_EQ(inplace_encode16(&v16), &v16);
    EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t *>(&v16), 2), "A1 B2");
    const Bytes b = hex("FF 00 80 01");
    EXPECT_EQ(decode32(b.data()), 0xFF008001u);
    EXPECT_EQ(decode16(b.data() + 2), 0x8001);
}

}  // namespace
