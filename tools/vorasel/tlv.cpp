// `vorasel tlv HEX... | -`: prints BER-TLV elements as a tree and decodes DEZ messages.
//
// The walk uses only bounded reads, the same rules as the library's parser (each element must
// fit in the value that contains it, at most TLV_PARSE_MAX_DEPTH levels), so what it accepts
// is what the reassembly handler would accept. The first fault ends it with the offset of the
// offending byte.
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "dez_describe.h"
#include "vorasel/lib_tlv_hl.h"

namespace vorasel::tool {

namespace {

using Bytes = std::vector<uint8_t>;

struct Fault {
    size_t offset;
    std::string reason;
};

// Hex digits with optional whitespace, ':' or ',' between bytes and "0x" prefixes.
std::optional<Bytes> parseHex(const std::string &text, std::string &error) {
    Bytes out;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c)) || c == ':' || c == ',') {
            if (high >= 0) {
                error = "odd number of hex digits before character " + std::to_string(i + 1);
                return std::nullopt;
            }
            continue;
        }
        if (c == '0' && high < 0 && i + 1 < text.size() &&
            (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            error = std::string("invalid character '") + c + "' at character " +
                    std::to_string(i + 1) + " of the hex input";
            return std::nullopt;
        }
        const int digit = std::stoi(std::string(1, c), nullptr, 16);
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "odd number of hex digits";
        return std::nullopt;
    }
    return out;
}

const char *className(uint16_t tag) {
    static const char *const names[] = {"universal", "application", "context", "private"};
    return names[tlv_get_tag_class(tag)];
}

uint32_t tagNumber(uint16_t tag) {
    return tag <= 0xFF ? (tag & 0x1Fu) : (tag & 0x7Fu);
}

std::string hexBytes(const uint8_t *p, size_t n) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", p[i]);
        out += two;
    }
    return out;
}

bool isNumberTag(uint16_t tag) {
    switch (tag) {
        case 0x02:  // INTEGER and DEZ number fields
        case 0xC8:
        case 0xD0:
        case 0xD1:
        case 0xD3:
        case 0xDD:
            return true;
        default:
            return false;
    }
}

bool isStringTag(uint16_t tag) {
    return tag == 0x0C || tag == 0xD2 || tag == 0xD9 || tag == 0xDB;
}

bool printable(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] < 0x20 || p[i] >= 0x7F) return false;
    return n > 0;
}

// The value of a primitive element, shown readably.
std::string showValue(uint16_t tag, const uint8_t *value, uint32_t length) {
    if (length == 0) return "";
    if (isNumberTag(tag) && (length == 1 || length == 2 || length == 4)) {
        uint32_t number = 0;
        for (uint32_t i = 0; i < length; ++i)
            number = (number << 8) | value[i];
        char text[40];
        std::snprintf(text, sizeof text, ": %u (0x%0*X)", number, static_cast<int>(length * 2),
                      number);
        return text;
    }
    const char *chars = reinterpret_cast<const char *>(value);
    if (isStringTag(tag)) {
        if (value[length - 1] == 0) return ": " + quoted(chars, length - 1);
        return ": " + quoted(chars, length) + " (no terminating zero)";
    }
    constexpr uint32_t kShown = 32;
    std::string out = ": " + hexBytes(value, length < kShown ? length : kShown);
    if (length > kShown) out += " ... (" + std::to_string(length) + " bytes)";
    if (printable(value, length)) out += "  " + quoted(chars, length < kShown ? length : kShown);
    return out;
}

// Why the element at `at` (with `available` bytes in its container) cannot be read.
Fault whyUnreadable(const uint8_t *p, uint32_t available, size_t at) {
    if ((p[0] & 0x1F) == 0x1F) {
        if (available < 2) return {at + 1, "second tag byte missing"};
        if (p[1] == 0 || p[1] >= 0x80)
            return {at + 1, "invalid tag: second tag byte 0x" + hexBytes(p + 1, 1) +
                                " (must be 01-7F; tags longer than two bytes are not supported)"};
    }
    const uint32_t tagBytes = (p[0] & 0x1F) == 0x1F ? 2 : 1;
    if (available == tagBytes) return {at + tagBytes, "length byte missing"};
    const uint8_t first = p[tagBytes];
    if (first == 0x80) return {at + tagBytes, "indefinite length (0x80) is not supported"};
    if (first > 0x83)
        return {at + tagBytes, "length byte 0x" + hexBytes(&first, 1) +
                                   " is not supported (at most three length octets)"};
    const uint32_t lengthBytes = first < 0x80 ? 1 : 1 + (first & 0x7Fu);
    if (available - tagBytes < lengthBytes)
        return {at + tagBytes, "length field truncated (" + std::to_string(lengthBytes) +
                                   " bytes needed, " + std::to_string(available - tagBytes) +
                                   " left)"};
    uint32_t length = 0;
    tlv_read_length(p + tagBytes, &length);
    const uint32_t left = available - tagBytes - lengthBytes;
    return {at + tagBytes + lengthBytes,
            "value of " + std::to_string(length) + " bytes runs past the end of its " +
                "container (" + std::to_string(left) + (left == 1 ? " byte" : " bytes") + " left)"};
}

// Prints the elements of [p, p + length), which start at offset `base` of the input.
std::optional<Fault> printLevel(const uint8_t *p, uint32_t length, size_t base, int depth) {
    uint32_t offset = 0;
    while (offset < length) {
        const size_t at = base + offset;
        if (depth > TLV_PARSE_MAX_DEPTH)
            return Fault{at,
                         "nested deeper than " + std::to_string(TLV_PARSE_MAX_DEPTH) + " levels"};
        tlv_element_t e;
        const uint32_t size = tlv_read_validate(p + offset, &e, length - offset);
        if (size == 0) return whyUnreadable(p + offset, length - offset, at);

        const bool constructed = tlv_is_constructed(e.tag);
        const char *name = e.tag > 0xFF ? nullptr : dezMessageName(e.tag);
        std::printf("%04zX: %*s%s%s%s (%s, %s, %u) len %u", at, 2 * (depth - 1), "",
                    hexBytes(p + offset, e.tag > 0xFF ? 2 : 1).c_str(), name ? " " : "",
                    name ? name : "", className(e.tag), constructed ? "constructed" : "primitive",
                    tagNumber(e.tag), e.length);
        if (constructed) {
            std::printf("\n");
            const size_t valueAt = at + static_cast<size_t>(e.value - (p + offset));
            if (auto fault = printLevel(e.value, e.length, valueAt, depth + 1)) return fault;
        } else {
            std::printf("%s\n", showValue(e.tag, e.value, e.length).c_str());
        }
        offset += size;
    }
    return std::nullopt;
}

// Each top-level element in turn: its tree, then its DEZ reading.
int show(const Bytes &bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        const uint8_t *p = bytes.data() + offset;
        const auto left = static_cast<uint32_t>(bytes.size() - offset);
        tlv_element_t e;
        const uint32_t size = tlv_read_validate(p, &e, left);
        std::optional<Fault> fault =
            size == 0 ? whyUnreadable(p, left, offset) : printLevel(p, size, offset, 1);
        if (fault) {
            std::fflush(stdout);
            std::fprintf(stderr, "vorasel tlv: malformed input at offset %zu (0x%zX): %s\n",
                         fault->offset, fault->offset, fault->reason.c_str());
            return 1;
        }
        tlv_t *root = nullptr;
        if (tlv_parse_buffer(p, &root) == TLV_OK) {
            if (auto line = describeDezMessage(root)) std::printf("%s\n", line->c_str());
            tlv_delete(root);
        }
        offset += size;
    }
    return 0;
}

int run(const std::vector<std::string> &args) {
    if (args.empty()) {
        std::fprintf(stderr, "usage: vorasel tlv HEX... | -\n");
        return 2;
    }
    std::string text;
    if (args.size() == 1 && args[0] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        for (const auto &arg : args)
            text += arg + " ";
    }
    std::string error;
    const std::optional<Bytes> bytes = parseHex(text, error);
    if (!bytes) {
        std::fprintf(stderr, "vorasel tlv: %s\n", error.c_str());
        return 1;
    }
    if (bytes->empty()) {
        std::fprintf(stderr, "vorasel tlv: no bytes given\n");
        return 1;
    }
    return show(*bytes);
}

const char *const kHelp =
    "usage: vorasel tlv HEX... | -\n"
    "  prints the BER-TLV elements of the hex input as a tree and names the DEZ\n"
    "  messages among them; - reads the hex from standard input\n"
    "  exit status: 0 well formed, 1 bad hex or malformed (with the offending\n"
    "  offset), 2 no arguments\n";

const Command command{"tlv", "HEX... | -", "print BER-TLV elements and DEZ messages", run, kHelp};

}  // namespace

}  // namespace vorasel::tool
