// tlv_validate and the bounded lookups on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "dez_fuzz_checks.h"
#include "vorasel/lib_tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    const auto length = static_cast<uint32_t>(size);
    const uint32_t result = tlv_validate(data, length);
    FUZZ_CHECK(result == TLV_OK || result == TLV_ERR_MALFORMED);
    if (result == TLV_OK) {
        // A valid buffer is a sequence of complete top-level elements ending exactly at its end.
        uint32_t offset = 0;
        while (offset < length) {
            tlv_element_t e;
            const uint32_t n = tlv_read_validate(data + offset, &e, length - offset);
            FUZZ_CHECK(n != 0);
            offset += n;
        }
        FUZZ_CHECK(offset == length);
    }

    // Lookups stay inside the buffer whatever they find.
    if (size >= 2) {
        const uint16_t path[3] = {data[0], data[1], static_cast<uint16_t>(data[size - 1])};
        tlv_element_t e{};
        if (tlv_find_nested_tag(data, static_cast<int32_t>(length), path, 3, &e)) {
            FUZZ_CHECK(e.tag == path[2]);
            FUZZ_CHECK(e.value >= data && e.value + e.length <= data + size);
        }
        if (tlv_find_tag(data, static_cast<int32_t>(length), data[0], &e))
            FUZZ_CHECK(e.value >= data && e.value + e.length <= data + size);
    }
    return 0;
}
