// Helpers for the TLV and DEZ tests: hex literals, owned trees and forced allocation failures.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tlv/tlv_alloc.h"
#include "vorasel/lib_tlv_hl.h"

namespace hv::test {

using Bytes = std::vector<uint8_t>;

// "E9 09 E1" -> {0xE9, 0x09, 0xE1}; spaces are ignored.
inline Bytes hex(const std::string &text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string hexOf(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (i) out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
inline std::string hexOf(const Bytes &bytes) {
    return hexOf(bytes.data(), bytes.size());
}

struct TreeDeleter {
    void operator()(tlv_t *node) const { tlv_delete(node); }
};
using Tree = std::unique_ptr<tlv_t, TreeDeleter>;

// Serialises a tree; empty on failure.
inline Bytes serialise(const tlv_t *root) {
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    if (tlv_write_tree(root, &buffer, &length) != TLV_OK) return {};
    Bytes out(buffer, buffer + length);
    std::free(buffer);
    return out;
}

// Makes the n-th allocation (0-based) of the TLV/DEZ code fail while it lives. Tests run
// `for n = 0, 1, ...` until an operation completes without triggering the failure, so every
// allocation failure path is taken once.
class FailNthAllocation {
public:
    explicit FailNthAllocation(int n) {
        state() = State{n, false};
        hv::tlv::setAllocationFailureHook(&FailNthAllocation::hook);
    }
    ~FailNthAllocation() { hv::tlv::setAllocationFailureHook(nullptr); }
    FailNthAllocation(const FailNthAllocation &) = delete;
    FailNthAllocation &operator=(const FailNthAllocation &) = delete;
    bool triggered() const { return state().triggered; }

private:
    struct State {
        int remaining;
        bool triggered;
    };
    static State &state() {
        static State value{-1, false};
        return value;
    }
    static bool hook(size_t) {
        State &s = state();
        if (s.remaining-- != 0) return false;
        s.triggered = true;
        return true;
    }
};

}  // namespace hv::test
