// DEZ extractors: acceptance, rejections, variants, counter lists; and the message measure.
#include <gtest/gtest.h>

#include "../../tlv/TlvTestUtil.h"
#include "vorasel/dez_message.h"

using hv::test::Bytes;
using hv::test::FailNthAllocation;
using hv::test::hex;
using hv::test::Tree;

namespace {

// A received message: its bytes and the tree parsed from them.
struct Received {
    explicit Received(const std::string &text) : bytes(hex(text)) {
        tlv_t *root = nullptr;
        EXPECT_EQ(tlv_parse_buffer(bytes.data(), &root), TLV_OK) << text;
        tree.reset(root);
    }
    const tlv_t *get() const { return tree.get(); }
    Bytes bytes;
    Tree tree;
};

TEST(DezExtract, SingleValueMessagesNeedTheExactWidth) {
    uint32_t code = 99;
    EXPECT_EQ(dez_extract_error_code(Received("D0 02 00 00").get(), &code), TLV_ERR_UNREADABLE);
    EXPECT_EQ(code, 99u);
    EXPECT_EQ(dez_extract_error_code(Received("D0 01 00").get(), &code), TLV_OK);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(dez_extract_error_code(Received("D0 01 FE").get(), &code), TLV_OK);
    EXPECT_EQ(code, 0xFEu);  // zero-extended
    EXPECT_EQ(dez_extract_error_code(Received("D1 01 00").get(), &code), TLV_ERR_UNREADABLE);
    EXPECT_EQ(dez_extract_error_code(nullptr, &code), TLV_ERR_UNREADABLE);

    uint32_t bits = 0;
    EXPECT_EQ(dez_extract_capabilities(Received("D3 04 00 00 00 03").get(), &bits), TLV_OK);
    EXPECT_EQ(bits, 3u);
    EXPECT_EQ(dez_extract_capabilities(Received("D3 02 00 03").get(), &bits), TLV_ERR_UNREADABLE);
    uint16_t state = 0;
    EXPECT_EQ(dez_extract_gpio_state(Received("D1 02 00 05").get(), &state), TLV_OK);
    EXPECT_EQ(state, 5);
}

TEST(DezExtract, StringsMustBeZeroTerminated) {
    const char *value = "unchanged";
    EXPECT_EQ(dez_extract_property_value(Received("D2 00").get(), &value), TLV_ERR_UNREADABLE);
    EXPECT_EQ(dez_extract_property_value(Received("D2 02 61 62").get(), &value),
              TLV_ERR_UNREADABLE);
    EXPECT_STREQ(value, "unchanged");
    Received ok("D2 03 61 62 00");
    EXPECT_EQ(dez_extract_property_value(ok.get(), &value), TLV_OK);
    EXPECT_STREQ(value, "ab");
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(value), ok.bytes.data() + 2);  // no copy

    const char *key = nullptr;
    EXPECT_EQ(
        dez_extract_write_property(Received("EB 07 0C 02 61 00 0C 01 62").get(), &key, &value),
        TLV_ERR_UNREADABLE);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(dez_extract_write_property(Received("EB 06 0C 02 61 00 0C 00").get(), &key, &value),
              TLV_ERR_UNREADABLE);
}

TEST(DezExtract, NestedMessagesAreCheckedBeforeAnythingIsWritten) {
    uint8_t port = 0;
    uint16_t mask = 0, state = 0x7777;
    Received good("EA 0D E1 07 02 01 02 02 02 00 FF 02 02 01 02");
    ASSERT_EQ(dez_extract_write_gpio(good.get(), &port, &mask, &state), TLV_OK);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(mask, 0x00FF);
    EXPECT_EQ(state, 0x0102);

    // A 2-byte port inside gpio_pins: rejected, and the valid state is not written either.
    port = 9;
    state = 0x7777;
    EXPECT_EQ(
        dez_extract_write_gpio(Received("EA 0E E1 08 02 02 00 02 02 02 00 FF 02 02 01 02").get(),
                               &port, &mask, &state),
        TLV_ERR_UNREADABLE);
    EXPECT_EQ(port, 9);
    EXPECT_EQ(state, 0x7777);
    // Missing state field; wrong nested code.
    EXPECT_EQ(dez_extract_write_gpio(Received("EA 09 E1 07 02 01 02 02 02 00 FF").get(), &port,
                                     &mask, &state),
              TLV_ERR_UNREADABLE);
    EXPECT_EQ(
        dez_extract_read_gpio(Received("E9 09 E2 07 02 01 01 02 02 00 10").get(), &port, &mask),
        TLV_ERR_UNREADABLE);
    EXPECT_EQ(
        dez_extract_read_gpio(Received("E9 09 E1 07 02 01 01 02 02 00 10").get(), &port, &mask),
        TLV_OK);
    EXPECT_EQ(mask, 0x0010);
}

TEST(DezExtract, TrailingChildrenAreIgnoredSoShortVariantsAcceptLongOnes) {
    // gpio_pins with an extra field.
    uint8_t port = 0;
    uint16_t mask = 0;
    EXPECT_EQ(
        dez_extract_gpio_pins(Received("E1 0A 02 01 01 02 02 00 10 04 01 AA").get(), &port, &mask),
        TLV_OK);

    // sensor_info read as sensor_info_5; the reverse fails for lack of the byte block.
    Received info("F3 0A 02 04 00 00 00 09 04 02 AB CD");
    uint32_t number = 0, count = 0;
    const uint8_t *bytes = nullptr;
    EXPECT_EQ(dez_extract_sensor_info_5(info.get(), &number), TLV_OK);
    EXPECT_EQ(number, 9u);
    EXPECT_EQ(dez_extract_sensor_info(info.get(), &number, &bytes, &count), TLV_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(
        dez_extract_sensor_info(Received("F3 06 02 04 00 00 00 09").get(), &number, &bytes, &count),
        TLV_ERR_UNREADABLE);

    // An image (with P6) read as image_2; image_properties needs P6.
    Received image(
        "F0 1F E2 17 02 02 00 02 02 02 00 02 02 02 00 00 02 02 00 00 02 01 05 02 02 00 06 04 04 "
        "01 02 03 04");
    uint16_t p1, p2, p3, p4;
    uint32_t p5 = 0, p6 = 0;
    const uint8_t *pixels = nullptr;
    EXPECT_EQ(dez_extract_image_2(image.get(), &p1, &p2, &p3, &p4, &p5, &pixels), TLV_OK);
    EXPECT_EQ(p5, 5u);
    EXPECT_EQ(dez_extract_image(image.get(), &p1, &p2, &p3, &p4, &p5, &p6, &pixels), TLV_OK);
    EXPECT_EQ(p6, 6u);
    EXPECT_EQ(pixels[3], 4);
    Received shortProps("E2 13 02 02 00 02 02 02 00 02 02 02 00 00 02 02 00 00 02 01 05");
    EXPECT_EQ(dez_extract_image_properties(shortProps.get(), &p1, &p2, &p3, &p4, &p5, &p6),
              TLV_ERR_UNREADABLE);
    EXPECT_EQ(dez_extract_image_properties_2(shortProps.get(), &p1, &p2, &p3, &p4, &p5), TLV_OK);
}

TEST(DezExtract, ImagePixelBlockMustMatchTheDimensions) {
    // 2 x 2 declared, 3 pixel bytes sent.
    Received image(
        "F0 1E E2 17 02 02 00 02 02 02 00 02 02 02 00 00 02 02 00 00 02 01 05 02 02 00 06 04 03 "
        "01 02 03");
    uint16_t p1 = 0, p2, p3, p4;
    uint32_t p5, p6;
    const uint8_t *pixels = nullptr;
    EXPECT_EQ(dez_extract_image(image.get(), &p1, &p2, &p3, &p4, &p5, &p6, &pixels),
              TLV_ERR_UNREADABLE);
    EXPECT_EQ(p1, 0);
    EXPECT_EQ(pixels, nullptr);
}

TEST(DezExtract, IdentityVariantsDoNotAcceptEachOther) {
    Received identity("F1 14 02 01 01 0C 02 61 00 0C 02 62 00 0C 01 00 0C 01 00 02 01 02");
    Received identity4("F1 14 02 01 01 0C 02 61 00 0C 02 62 00 02 01 07 0C 01 00 02 01 08");
    uint8_t b1, b2, b3 = 0;
    const char *s1, *s2, *s3, *s4;
    EXPECT_EQ(dez_extract_identity(identity.get(), &b1, &s1, &s2, &s3, &s4, &b2), TLV_OK);
    EXPECT_EQ(b2, 2);
    EXPECT_STREQ(s2, "b");
    EXPECT_EQ(dez_extract_identity_4(identity.get(), &b1, &s1, &s2, &b2, &s3, &b3),
              TLV_ERR_UNREADABLE);
    EXPECT_EQ(dez_extract_identity_4(identity4.get(), &b1, &s1, &s2, &b2, &s3, &b3), TLV_OK);
    EXPECT_EQ(b3, 8);
    EXPECT_EQ(dez_extract_identity(identity4.get(), &b1, &s1, &s2, &s3, &s4, &b2),
              TLV_ERR_UNREADABLE);
}

TEST(DezCounters, ExtractsListsAndReleasesThemOnFailure) {
    dez_counters_list_t *list = nullptr;
    ASSERT_EQ(dez_extract_counters(Received("F2 00").get(), &list), TLV_OK);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    dez_free_counters_list(&list);
    EXPECT_EQ(list, nullptr);
    dez_free_counters_list(&list);  // already null: left alone

    EXPECT_EQ(dez_extract_counters(Received("F2 03 02 01 00").get(), &list), TLV_ERR_UNREADABLE);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(dez_extract_counters(Received("D0 01 00").get(), &list), TLV_ERR_UNREADABLE);

    Received two("F2 18 E0 0A 0C 02 61 00 02 04 00 00 00 07 E0 0A 0C 02 62 00 02 04 00 00 01 02");
    ASSERT_EQ(dez_extract_counters(two.get(), &list), TLV_OK);
    ASSERT_NE(list->first, nullptr);
    EXPECT_STREQ(list->first->name, "a");
    EXPECT_EQ(list->first->value, 7u);
    EXPECT_EQ(list->first->next, list->last);
    EXPECT_EQ(list->last->previous, list->first);
    EXPECT_STREQ(list->last->name, "b");
    EXPECT_EQ(list->last->value, 0x0102u);
    EXPECT_EQ(list->last->next, nullptr);
    dez_free_counters_list(&list);

    // A valid counter, then one whose value is 2 bytes: the first entry is released too.
    EXPECT_EQ(
        dez_extract_counters(
            Received("F2 16 E0 0A 0C 02 61 00 02 04 00 00 00 07 E0 08 0C 02 62 00 02 02 01 02")
                .get(),
            &list),
        TLV_ERR_UNREADABLE);
    EXPECT_EQ(list, nullptr);
}

TEST(DezCounters, AllocationFailuresGiveNoMemoryAndNullList) {
    Received two("F2 18 E0 0A 0C 02 61 00 02 04 00 00 00 07 E0 0A 0C 02 62 00 02 04 00 00 01 02");
    for (int n = 0; n < 3; ++n) {  // the head, then each entry
        FailNthAllocation failure(n);
        dez_counters_list_t *list = reinterpret_cast<dez_counters_list_t *>(0x1);
        EXPECT_EQ(dez_extract_counters(two.get(), &list), TLV_ERR_NO_MEMORY) << n;
        EXPECT_TRUE(failure.triggered());
        EXPECT_EQ(list, nullptr) << n;
    }
}

TEST(DezRemainingBytes, MeasuresHeaderFirstThenValue) {
    const struct {
        const char *held;
        int32_t remaining;
    } cases[] = {
        {"", 2},
        {"D0", 1},
        {"D0 01", 1},
        {"D0 01 07", 0},
        {"D0 01 07 D1", -1},
        {"E8 82 01", 1},
        {"E8 82 01 F8", 504},
        {"5F 01", 1},
        {"5F 01 02 AA", 1},
        {"E8 83", 3},
        {"D0 00", 0},
        {"D0 00 D0 00", -2},
        {"1F 80", 0},
        {"1F 80 00 00", 0},  // invalid tag: all held counts as one message
        {"D0 80", 0},
        {"D0 84 00", 3},
        {"D0 84 00 00 00 01", 0},
    };
    for (const auto &c : cases) {
        const Bytes b = hex(c.held);
        EXPECT_EQ(dez_remaining_bytes(b.data(), static_cast<uint32_t>(b.size())), c.remaining)
            << c.held;
    }
}

}  // namespace
