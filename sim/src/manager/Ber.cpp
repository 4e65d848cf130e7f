#include "vorasel/sim/Ber.h"

namespace hv::sim::ber {

Read readHeader(std::span<const uint8_t> b, Header &out) {
    if (b.empty()) return Read::NeedMore;
    size_t at = 1;
    uint32_t tag = b[0];
    if ((b[0] & 0x1F) == 0x1F) {
        // High tag number form: base-128 digits, bit 8 set on all but the last.
        for (;;) {
            if (at >= b.size()) return Read::NeedMore;
            const uint8_t t = b[at];
            if (at == 1 && t == 0x80) return Read::Invalid;  // leading zero digit
            tag = tag << 8 | t;
            ++at;
            if (!(t & 0x80)) break;
            if (at >= kMaxTagBytes) return Read::Invalid;
        }
    }
    if (at >= b.size()) return Read::NeedMore;
    const uint8_t l0 = b[at++];
    uint64_t length = l0;
    if (l0 & 0x80) {
        const size_t n = l0 & 0x7F;
        if (n == 0 || n > 4) return Read::Invalid;  // indefinite or beyond our bound
        if (at + n > b.size()) return Read::NeedMore;
        length = 0;
        for (size_t i = 0; i < n; ++i)
            length = length << 8 | b[at++];
    }
    out.tag = tag;
    out.constructed = (b[0] & 0x20) != 0;
    out.size = at;
    out.length = length;
    return Read::Ok;
}

namespace {

bool parseInto(std::span<const uint8_t> bytes, Element &e, size_t depth, size_t &used) {
    Header h;
    if (readHeader(bytes, h) != Read::Ok) return false;
    if (h.length > bytes.size() - h.size) return false;
    used = h.size + static_cast<size_t>(h.length);
    e.tag = h.tag;
    e.constructed = h.constructed;
    e.value = bytes.subspan(h.size, static_cast<size_t>(h.length));
    if (!h.constructed) return true;
    if (depth + 1 >= kMaxDepth && !e.value.empty()) return false;
    auto rest = e.value;
    while (!rest.empty()) {
        Element child;
        size_t n = 0;
        if (!parseInto(rest, child, depth + 1, n)) return false;
        e.children.push_back(std::move(child));
        rest = rest.subspan(n);
    }
    return true;
}

void putTag(uint32_t tag, Bytes &out) {
    if (tag > 0xFFFF) out.push_back(static_cast<uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag));
}

void putLength(size_t n, Bytes &out) {
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
        return;
    }
    size_t octets = 0;
    for (size_t v = n; v; v >>= 8)
        ++octets;
    out.push_back(static_cast<uint8_t>(0x80 | octets));
    for (size_t i = octets; i-- > 0;)
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

uint8_t firstTagByte(uint32_t tag) {
    if (tag > 0xFFFF) return static_cast<uint8_t>(tag >> 16);
    if (tag > 0xFF) return static_cast<uint8_t>(tag >> 8);
    return static_cast<uint8_t>(tag);
}

}  // namespace

std::optional<Element> parse(std::span<const uint8_t> bytes) {
    Element e;
    size_t used = 0;
    if (!parseInto(bytes, e, 0, used) || used != bytes.size()) return std::nullopt;
    return e;
}

bool isConstructed(uint32_t tag) {
    return (firstTagByte(tag) & 0x20) != 0;
}

void encodeTo(const Node &node, Bytes &out) {
    putTag(node.tag, out);
    if (!isConstructed(node.tag)) {
        putLength(node.value.size(), out);
        out.insert(out.end(), node.value.begin(), node.value.end());
        return;
    }
    Bytes content;
    for (const auto &c : node.children)
        encodeTo(c, content);
    putLength(content.size(), out);
    out.insert(out.end(), content.begin(), content.end());
}

Bytes encode(const Node &node) {
    Bytes out;
    encodeTo(node, out);
    return out;
}

Node primitive(uint32_t tag, std::span<const uint8_t> value) {
    return Node{tag, Bytes(value.begin(), value.end()), {}};
}

Node number(uint32_t tag, uint64_t value, size_t width) {
    Node n{tag, Bytes(width), {}};
    for (size_t i = 0; i < width; ++i)
        n.value[width - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    return n;
}

Node string(uint32_t tag, std::string_view text) {
    Node n{tag, Bytes(text.begin(), text.end()), {}};
    n.value.push_back(0);
    return n;
}

Node constructed(uint32_t tag, std::vector<Node> children) {
    return Node{tag, {}, std::move(children)};
}

}  // namespace hv::sim::ber
