// The accessory's own BER codec and the two stream framers.
#include <gtest/gtest.h>

#include "vorasel/sim/Ber.h"
#include "vorasel/sim/CcidFramer.h"
#include "vorasel/sim/DezFramer.h"

namespace hv::sim::test {
namespace {

using ber::Bytes;

TEST(Ber, LengthsUseTheShortestForm) {
    EXPECT_EQ(ber::encode(ber::primitive(0x04, Bytes(127))).size(), 2u + 127);
    const std::pair<size_t, Bytes> cases[] = {{127, {0x7F}},
                                              {128, {0x81, 0x80}},
                                              {256, {0x82, 0x01, 0x00}},
                                              {65536, {0x83, 0x01, 0x00, 0x00}}};
    for (const auto &[n, octets] : cases) {
        const Bytes e = ber::encode(ber::primitive(0x04, Bytes(n, 0xAB)));
        EXPECT_EQ(Bytes(e.begin() + 1, e.begin() + 1 + octets.size()), octets) << n;
        auto back = ber::parse(e);
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(back->value.size(), n);
    }
}

TEST(Ber, HeadersAreReadOnlyWhenWholeAndValid) {
    ber::Header h;
    EXPECT_EQ(ber::readHeader(Bytes{}, h), ber::Read::NeedMore);
    EXPECT_EQ(ber::readHeader(Bytes{0xE8}, h), ber::Read::NeedMore);
    EXPECT_EQ(ber::readHeader(Bytes{0xE8, 0x82, 0x01}, h), ber::Read::NeedMore);
    EXPECT_EQ(ber::readHeader(Bytes{0x9F}, h), ber::Read::NeedMore);
    ASSERT_EQ(ber::readHeader(Bytes{0xE8, 0x82, 0x01, 0xF8}, h), ber::Read::Ok);
    EXPECT_EQ(h.tag, 0xE8u);
    EXPECT_TRUE(h.constructed);
    EXPECT_EQ(h.size, 4u);
    EXPECT_EQ(h.length, 0x1F8u);
    ASSERT_EQ(ber::readHeader(Bytes{0xBF, 0x81, 0x01, 0x00}, h), ber::Read::Ok);
    EXPECT_EQ(h.tag, 0xBF8101u);
    EXPECT_EQ(ber::readHeader(Bytes{0x30, 0x80}, h), ber::Read::Invalid);  // indefinite
    EXPECT_EQ(ber::readHeader(Bytes{0x30, 0x85}, h), ber::Read::Invalid);
    EXPECT_EQ(ber::readHeader(Bytes{0x1F, 0x80, 0x01}, h), ber::Read::Invalid);
    EXPECT_EQ(ber::readHeader(Bytes{0x1F, 0x81, 0x81, 0x01}, h), ber::Read::Invalid);
}

TEST(Ber, ParseNeedsExactlyOneWellFormedElement) {
    const Bytes list = {0xE1, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x06};
    auto e = ber::parse(list);  // contents point into `list`
    ASSERT_TRUE(e);
    ASSERT_EQ(e->children.size(), 2u);
    EXPECT_EQ(e->children[1].value[0], 0x06);
    EXPECT_TRUE(ber::parse(Bytes{0xF2, 0x00}));                           // an empty list
    EXPECT_FALSE(ber::parse(Bytes{0xE1, 0x03, 0x02, 0x01, 0x05, 0x00}));  // a byte after it
    EXPECT_FALSE(ber::parse(Bytes{0xE1, 0x03, 0x02, 0x02, 0x05}));        // child overruns
    EXPECT_FALSE(ber::parse(Bytes{0xD0, 0x02, 0x00}));                    // short content

    auto nested = [](size_t depth) {
        ber::Node n = ber::primitive(0x02, Bytes{1});
        for (size_t i = 0; i < depth; ++i)
            n = ber::constructed(0x30, {n});
        return ber::encode(n);
    };
    EXPECT_TRUE(ber::parse(nested(ber::kMaxDepth - 1)));
    EXPECT_FALSE(ber::parse(nested(ber::kMaxDepth)));
}

TEST(Ber, NumbersAndStringsAsTheCatalogueWritesThem) {
    EXPECT_EQ(ber::encode(ber::number(0xD3, 3, 4)), (Bytes{0xD3, 0x04, 0, 0, 0, 3}));
    EXPECT_EQ(ber::encode(ber::string(0xD2, "ab")), (Bytes{0xD2, 0x03, 'a', 'b', 0}));
    EXPECT_EQ(
        ber::encode(ber::constructed(0xE0, {ber::string(0x0C, "x"), ber::number(0x02, 0x0102, 4)})),
        (Bytes{0xE0, 0x0A, 0x0C, 0x02, 'x', 0, 0x02, 0x04, 0, 0, 1, 2}));
}

TEST(CcidFramer, AHugeLengthIsReportedAtOnceAndNeverBuffered) {
    CcidFramer f(270);
    const Bytes head = {0x6F, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x09, 0x00, 0x00, 0x00, 0xAA};
    std::span<const uint8_t> in(head);
    auto e = f.next(in);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, CcidFramer::Event::Kind::Oversize);
    EXPECT_EQ(e->bytes.size(), 10u);
    EXPECT_TRUE(in.empty());
    EXPECT_EQ(f.skipping(), 0xFFFFFFFFull - 1);
    const Bytes more(4096, 0x00);
    std::span<const uint8_t> rest(more);
    EXPECT_FALSE(f.next(rest));
    EXPECT_EQ(f.skipping(), 0xFFFFFFFFull - 1 - 4096);
    EXPECT_TRUE(f.partial().empty());
}

TEST(DezFramer, OversizeContentIsSkippedAcrossDeliveries) {
    DezFramer f(64);
    Bytes stream = {0x04, 0x82, 0x01, 0x00};
    stream.resize(stream.size() + 256, 0xEE);
    stream.insert(stream.end(), {0xDE, 0x00});
    std::vector<DezFramer::Event::Kind> kinds;
    for (size_t i = 0; i < stream.size(); i += 7) {
        std::span<const uint8_t> in(stream.data() + i, std::min<size_t>(7, stream.size() - i));
        while (auto e = f.next(in))
            kinds.push_back(e->kind);
    }
    EXPECT_EQ(kinds,
              (std::vector{DezFramer::Event::Kind::Oversize, DezFramer::Event::Kind::Message}));
}

}  // namespace
}  // namespace hv::sim::test
