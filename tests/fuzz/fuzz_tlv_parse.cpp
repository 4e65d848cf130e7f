// tlv_parse_buffer on a complete element, then tlv_write_tree: the tree is sound, and input in
// shortest form comes back byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dez_fuzz_checks.h"
#include "vorasel/lib_tlv_hl.h"

namespace {

// True when every length field in [p, p + n) uses the shortest form. The range is known to
// hold complete elements (the parse succeeded on it).
bool shortestForm(const uint8_t *p, uint32_t n) {
    uint32_t offset = 0;
    while (offset < n) {
        tlv_element_t e;
        const uint32_t size = tlv_read_validate(p + offset, &e, n - offset);
        if (size == 0) return false;
        const uint32_t lengthBytes = size - e.length - tlv_get_bytes_for_tag(e.tag);
        if (lengthBytes != tlv_get_bytes_for_length(e.length)) return false;
        if (tlv_is_constructed(e.tag) && !shortestForm(e.value, e.length)) return false;
        offset += size;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    tlv_element_t element;
    const uint32_t n = tlv_read_validate(data, &element, static_cast<uint32_t>(size));
    if (n == 0) return 0;
    // Exactly the element, so any read past it is an ASan report.
    std::vector<uint8_t> copy(data, data + n);

    tlv_t *root = nullptr;
    const uint32_t result = tlv_parse_buffer(copy.data(), &root);
    FUZZ_CHECK(result == TLV_OK || result == TLV_ERR_UNREADABLE);
    if (result != TLV_OK) {
        FUZZ_CHECK(root == nullptr);
        return 0;
    }
    hv::fuzz::checkTree(root, {copy.data(), copy.data() + n});

    uint8_t *out = nullptr;
    uint32_t length = 0;
    FUZZ_CHECK(tlv_write_tree(root, &out, &length) == TLV_OK);
    FUZZ_CHECK(length <= n);
    if (shortestForm(copy.data(), n))
        FUZZ_CHECK(length == n && std::memcmp(out, copy.data(), n) == 0);

    // What was written parses again and is written identically.
    tlv_t *again = nullptr;
    FUZZ_CHECK(tlv_parse_buffer(out, &again) == TLV_OK);
    uint8_t *out2 = nullptr;
    uint32_t length2 = 0;
    FUZZ_CHECK(tlv_write_tree(again, &out2, &length2) == TLV_OK);
    FUZZ_CHECK(length2 == length && std::memcmp(out, out2, length) == 0);

    std::free(out2);
    tlv_delete(again);
    std::free(out);
    tlv_delete(root);
    return 0;
}
