// Element layer: tag and length encodings, bounded reads, validation and lookup.
#include <gtest/gtest.h>

#include "TlvTestUtil.h"
#include "vorasel/lib_tlv.h"

using hv::test::Bytes;
using hv::test::hex;

namespace {

// A heap copy of exactly the bytes given, so that ASan flags any read past the end.
struct Exact {
    explicit Exact(const Bytes &bytes)
        : data(new uint8_t[bytes.empty() ? 1 : bytes.size()]), size(bytes.size()) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    std::unique_ptr<uint8_t[]> data;
    uint32_t size;
};

uint32_t validate(const std::string &text) {
    Exact buffer(hex(text));
    return tlv_validate(buffer.data.get(), buffer.size);
}

TEST(TlvTag, ConstructsOneAndTwoByteTags) {
    EXPECT_EQ(tlv_construct_tag(3, true, 0), 0xE0);
    EXPECT_EQ(tlv_construct_tag(3, false, 8), 0xC8);
    EXPECT_EQ(tlv_construct_tag(2, false, 31), 0x9F1F);
    EXPECT_EQ(tlv_construct_tag(0, false, 128), 0);
    EXPECT_EQ(tlv_construct_tag(0, false, 30), 0x1E);
    EXPECT_EQ(tlv_construct_tag(1, true, 127), 0x7F7F);
    EXPECT_EQ(tlv_construct_tag(9, false, 2), 0xC2);  // unknown class counts as private
}

TEST(TlvTag, ValidityClassAndFormAgreeForEveryValue) {
    for (uint32_t v = 0; v <= 0xFFFF; ++v) {
        const auto tag = static_cast<uint16_t>(v);
        const uint32_t size = tlv_get_bytes_for_tag(tag);
        const bool valid = v <= 0xFF ? (v & 0x1F) != 0x1F : (v & 0x1F80) == 0x1F00 && (v & 0x7F);
        ASSERT_EQ(size != 0, valid) << std::hex << v;
        ASSERT_EQ(tlv_is_primitive(tag), tlv_is_constructed(tag) ? 0 : 1) << std::hex << v;
        if (!valid) {
            ASSERT_EQ(tlv_get_tag_class(tag), 3) << std::hex << v;
            ASSERT_FALSE(tlv_is_constructed(tag)) << std::hex << v;
            uint8_t out[2] = {0xAA, 0xAA};
            ASSERT_EQ(tlv_write_tag(out, tag), 0u);
            ASSERT_EQ(out[0], 0xAA);
            continue;
        }
        uint8_t out[2];
        ASSERT_EQ(tlv_write_tag(out, tag), size);
        uint16_t back = 0;
        ASSERT_EQ(tlv_read_tag(out, &back), size) << std::hex << v;
        ASSERT_EQ(back, tag);
        ASSERT_EQ(tlv_get_tag_class(tag), out[0] >> 6);
        ASSERT_EQ(tlv_is_constructed(tag) != 0, (out[0] & 0x20) != 0);
    }
}

TEST(TlvTag, ReadRejectsBadSecondBytes) {
    for (const char *bad : {"1F 80", "1F 00", "DF FF"}) {
        Bytes b = hex(bad);
        uint16_t tag = 0x1234;
        EXPECT_EQ(tlv_read_tag(b.data(), &tag), 0u) << bad;
        EXPECT_EQ(tag, 0) << bad;
    }
    Bytes b = hex("BF 05");
    uint16_t tag = 0;
    EXPECT_EQ(tlv_read_tag(b.data(), &tag), 2u);
    EXPECT_EQ(tag, 0xBF05);
    EXPECT_TRUE(tlv_is_constructed(tag));
    EXPECT_EQ(tlv_get_tag_class(tag), 2);
}

TEST(TlvLength, WritesShortestFormAtEveryBoundary) {
    const struct {
        uint32_t length;
        const char *bytes;
    } cases[] = {
        {0, "00"},         {127, "7F"},         {128, "81 80"},         {255, "81 FF"},
        {256, "82 01 00"}, {65535, "82 FF FF"}, {65536, "83 01 00 00"}, {16777215, "83 FF FF FF"}};
    for (const auto &c : cases) {
        uint8_t out[4];
        const uint32_t size = tlv_write_length(out, c.length);
        EXPECT_EQ(hv::test::hexOf(out, size), c.bytes) << c.length;
        EXPECT_EQ(tlv_get_bytes_for_length(c.length), size);
        uint32_t back = 0;
        EXPECT_EQ(tlv_read_length(out, &back), size);
        EXPECT_EQ(back, c.length);
    }
}

TEST(TlvLength, ReaderAcceptsLongFormsAndRejectsIndefiniteAndFourOctets) {
    uint32_t length = 99;
    Bytes b = hex("81 05");
    EXPECT_EQ(tlv_read_length(b.data(), &length), 2u);
    EXPECT_EQ(length, 5u);
    b = hex("83 00 00 05");
    EXPECT_EQ(tlv_read_length(b.data(), &length), 4u);
    EXPECT_EQ(length, 5u);
    for (const char *bad : {"80", "84 00 00 00 01", "FF"}) {
        b = hex(bad);
        length = 99;
        EXPECT_EQ(tlv_read_length(b.data(), &length), 0u) << bad;
        EXPECT_EQ(length, 0u) << bad;
    }
}

TEST(TlvRead, ReportsInvalidTagAndRejectedLength) {
    tlv_element_t e;
    Bytes b = hex("1F 80 01 00");
    EXPECT_EQ(tlv_read(b.data(), &e), 0u);
    EXPECT_EQ(e.tag, 0);
    EXPECT_EQ(e.length, 0u);
    EXPECT_EQ(e.value, nullptr);

    b = hex("D0 80 00");
    EXPECT_EQ(tlv_read(b.data(), &e), 1u);  // the tag size only
    EXPECT_EQ(e.tag, 0xD0);
    EXPECT_EQ(e.length, 0u);
    EXPECT_EQ(e.value, b.data() + 1);

    b = hex("5F 20 81 02 AA BB");
    EXPECT_EQ(tlv_read(b.data(), &e), 6u);
    EXPECT_EQ(e.tag, 0x5F20);
    EXPECT_EQ(e.length, 2u);
    EXPECT_EQ(e.value, b.data() + 4);
    EXPECT_EQ(tlv_get_buffer_length(b.data()), 5u);  // re-encoded as 5F 20 02 AA BB
}

TEST(TlvReadValidate, EveryProperPrefixIsRejectedAndTheWholeAccepted) {
    for (const char *text : {"02 01 05", "5F 20 02 AA BB", "04 81 03 01 02 03", "04 82 00 02 01 02",
                             "04 83 00 00 01 09", "E1 03 02 01 05"}) {
        const Bytes whole = hex(text);
        for (size_t n = 0; n < whole.size(); ++n) {
            Exact prefix(Bytes(whole.begin(), whole.begin() + n));
            tlv_element_t e;
            EXPECT_EQ(tlv_read_validate(prefix.data.get(), &e, prefix.size), 0u)
                << text << " prefix " << n;
            EXPECT_EQ(e.value, nullptr);
        }
        Exact all(whole);
        tlv_element_t e;
        EXPECT_EQ(tlv_read_validate(all.data.get(), &e, all.size), whole.size()) << text;
        EXPECT_EQ(e.value + e.length, all.data.get() + all.size);
    }
}

TEST(TlvReadValidate, RejectsBadTagsAndLengthForms) {
    for (const char *bad : {"1F 80 01 00", "1F 00 01 00", "02 80 00", "02 84 00 00 00 01 00"}) {
        Exact b(hex(bad));
        tlv_element_t e;
        EXPECT_EQ(tlv_read_validate(b.data.get(), &e, b.size), 0u) << bad;
    }
}

TEST(TlvValidate, AcceptsAndRejectsWholeBuffers) {
    EXPECT_EQ(validate("30 03 02 01 05"), TLV_OK);
    EXPECT_EQ(validate("02 01 05 02 01 06"), TLV_OK);
    EXPECT_EQ(validate("30 02 04 00"), TLV_OK);
    EXPECT_EQ(validate(""), TLV_ERR_MALFORMED);
    EXPECT_EQ(validate("30 00"), TLV_ERR_MALFORMED);                 // empty constructed value
    EXPECT_EQ(validate("30 02 31 00"), TLV_ERR_MALFORMED);           // empty constructed child
    EXPECT_EQ(validate("02 02 05"), TLV_ERR_MALFORMED);              // value shorter than declared
    EXPECT_EQ(validate("30 03 02 02 05"), TLV_ERR_MALFORMED);        // child overruns its parent
    EXPECT_EQ(validate("02 01 05 1F"), TLV_ERR_MALFORMED);           // trailing partial tag
    EXPECT_EQ(validate("30 80 02 01 05 00 00"), TLV_ERR_MALFORMED);  // indefinite length
    EXPECT_EQ(validate("30 81 03 02 01 05"), TLV_OK);                // long form accepted
}

// `levels` constructed elements nested in each other, each followed by a primitive sibling.
Bytes nestedWithSiblings(int levels) {
    Bytes inner = hex("02 01 00");
    for (int i = 0; i < levels; ++i) {
        Bytes outer = {0x30, static_cast<uint8_t>(inner.size())};
        outer.insert(outer.end(), inner.begin(), inner.end());
        outer.insert(outer.end(), {0x02, 0x01, static_cast<uint8_t>(i)});
        inner = outer;
    }
    return inner;
}

TEST(TlvValidate, NestingLimitCountsOpenFrames) {
    Exact seven(nestedWithSiblings(7));
    EXPECT_EQ(tlv_validate(seven.data.get(), seven.size), TLV_OK);
    Exact eight(nestedWithSiblings(8));
    EXPECT_EQ(tlv_validate(eight.data.get(), eight.size), TLV_ERR_MALFORMED);

    // Last children replace their parent's frame, so a deep chain of them is fine.
    Bytes chain = hex("02 01 00");
    for (int i = 0; i < 100; ++i) {
        Bytes outer = {0x30, 0x82, static_cast<uint8_t>(chain.size() >> 8),
                       static_cast<uint8_t>(chain.size())};
        outer.insert(outer.end(), chain.begin(), chain.end());
        chain = outer;
    }
    Exact deep(chain);
    EXPECT_EQ(tlv_validate(deep.data.get(), deep.size), TLV_OK);
}

TEST(TlvFind, FindsTagsAtOneLevelAndAlongPaths) {
    Exact b(hex("E1 06 02 01 05 02 01 06 04 01 07"));
    const auto length = static_cast<int32_t>(b.size);
    tlv_element_t e{};
    ASSERT_EQ(tlv_find_tag(b.data.get(), length, 0x04, &e), 1);
    EXPECT_EQ(e.value, b.data.get() + 10);
    EXPECT_EQ(tlv_find_tag(b.data.get(), length, 0x02, &e), 0);  // not at the top level

    const uint16_t found[] = {0xE1, 0x02};
    ASSERT_EQ(tlv_find_nested_tag(b.data.get(), length, found, 2, &e), 1);
    EXPECT_EQ(e.length, 1u);
    EXPECT_EQ(e.value[0], 0x05);  // the first match

    const uint16_t missing[] = {0xE1, 0x04};
    tlv_element_t untouched{0x77, 7, nullptr};
    EXPECT_EQ(tlv_find_nested_tag(b.data.get(), length, missing, 2, &untouched), 0);
    EXPECT_EQ(untouched.tag, 0x77);
    EXPECT_EQ(tlv_find_nested_tag(b.data.get(), length, missing, 0, &untouched), 1);
    EXPECT_EQ(untouched.tag, 0x77);
}

TEST(TlvFind, StopsAtUnreadableElementsAndEmptyLengths) {
    tlv_element_t e{};
    EXPECT_EQ(tlv_find_tag(nullptr, 0, 0x02, &e), 0);  // nothing is read
    EXPECT_EQ(tlv_find_tag(nullptr, -5, 0x02, &e), 0);
    // The wanted tag lies behind an element whose length overruns the buffer.
    Exact b(hex("04 09 00 02 01 05"));
    EXPECT_EQ(tlv_find_tag(b.data.get(), static_cast<int32_t>(b.size), 0x02, &e), 0);
    // A nested path never leaves the value of the element it descends into.
    Exact c(hex("E1 02 04 03 02 01 05"));
    const uint16_t path[] = {0xE1, 0x04};
    EXPECT_EQ(tlv_find_nested_tag(c.data.get(), static_cast<int32_t>(c.size), path, 2, &e), 0);
}

}  // namespace
