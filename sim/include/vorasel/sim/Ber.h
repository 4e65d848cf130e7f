// The accessory's own BER-TLV codec (X.690 definite-length encoding), bounded: tags of at most
// three bytes, lengths of at most four length octets, nesting at most kMaxDepth deep.
//
// A tag is held as its encoded bytes read as a big-endian number (0xE8, 0x9F1F, 0xBF8101).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace hv::sim::ber {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxTagBytes = 3;
constexpr size_t kMaxHeader = kMaxTagBytes + 5;
constexpr size_t kMaxDepth = 8;

struct Header {
    uint32_t tag = 0;
    bool constructed = false;
    size_t size = 0;      // tag and length octets
    uint64_t length = 0;  // content octets
};

enum class Read { Ok, NeedMore, Invalid };

// The tag and length at the start of `bytes` (the content need not be there yet).
Read readHeader(std::span<const uint8_t> bytes, Header &out);

// A parsed element; primitive contents point into the parsed bytes.
struct Element {
    uint32_t tag = 0;
    bool constructed = false;
    std::span<const uint8_t> value;  // the content octets
    std::vector<Element> children;   // constructed only
};

// Exactly one element filling `bytes`, its constructed contents exactly filled by their
// children; nullopt otherwise.
std::optional<Element> parse(std::span<const uint8_t> bytes);

// An element to encode, owning its content.
struct Node {
    uint32_t tag = 0;
    Bytes value;                 // primitive content
    std::vector<Node> children;  // constructed content
};

bool isConstructed(uint32_t tag);
// Shortest-form encoding; the tag decides whether `value` or `children` is the content.
Bytes encode(const Node &node);
void encodeTo(const Node &node, Bytes &out);

Node primitive(uint32_t tag, std::span<const uint8_t> value = {});
// A big-endian number of `width` bytes (the value's low bytes).
Node number(uint32_t tag, uint64_t value, size_t width);
// Characters and a terminating zero byte.
Node string(uint32_t tag, std::string_view text);
Node constructed(uint32_t tag, std::vector<Node> children);

}  // namespace hv::sim::ber
