// dez_remaining_bytes on every prefix, then every extractor on the parsed front message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dez_fuzz_checks.h"
#include "vorasel/dez_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    const auto held = static_cast<uint32_t>(size);
    tlv_element_t element;
    const uint32_t n = tlv_read_validate(data, &element, held);

    // The measure reads only the bytes held: give it exact copies of each prefix.
    const uint32_t prefixes = std::min<uint32_t>(held, n ? n : 64);
    for (uint32_t h = 0; h <= prefixes; ++h) {
        std::vector<uint8_t> prefix(data, data + h);
        const int32_t r = dez_remaining_bytes(prefix.data(), h);
        if (n != 0 && h < n) {
            // Incomplete: asks for more, but never for more than the message still needs.
            FUZZ_CHECK(r >= 1 && static_cast<uint32_t>(r) <= n - h);
        }
    }
    if (n == 0) return 0;
    FUZZ_CHECK(dez_remaining_bytes(data, held) ==
               static_cast<int32_t>(n) - static_cast<int32_t>(held));

    std::vector<uint8_t> copy(data, data + n);
    tlv_t *root = nullptr;
    if (tlv_parse_buffer(copy.data(), &root) != TLV_OK) return 0;
    hv::fuzz::exerciseExtractors(root, {copy.data(), copy.data() + n});
    dez_delete(root);
    return 0;
}
