// Management encoding: TLV validation and parsing, DEZ building, and DEZ reassembly.
//
// Figures: MB/s of tlv_validate and tlv_parse_buffer (parse + delete of the tree) on a 64 KiB
// nested buffer; ns to build and serialise a firmware_image with a 512-byte chunk; MB/s of the
// reassembly handler taking a stream of firmware_image messages in 100-byte chunks.
// "MB/s" counters are 10^6 bytes per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Accessory/Management/HVPAPMessageHandler.h"
#include "vorasel/dez_message.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes &out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

// One 63-byte record: a number, a string, a 32-byte block and a nested pair of numbers, the
// shape of a typical management message.
void appendRecord(Bytes &out, uint32_t i) {
    append(out, {0x30, 61});
    append(out, {0x02, 0x04, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)});
    append(out, {0x0C, 0x0A, 'c', 'o', 'u', 'n', 't', 'e', 'r', '-', uint8_t('0' + i % 10), 0});
    append(out, {0x04, 0x20});
    for (int k = 0; k < 32; ++k)
        out.push_back(uint8_t(i + k));
    append(out, {0x31, 0x07, 0x02, 0x01, uint8_t(i), 0x02, 0x02, 0x01, uint8_t(i)});
}

// A single constructed element of exactly 64 KiB.
Bytes nested64k() {
    constexpr size_t kTotal = 65536, kHeader = 4;  // E1 82 hi lo
    Bytes content;
    uint32_t i = 0;
    while (content.size() + 63 + 2 <= kTotal - kHeader)
        appendRecord(content, i++);
    const size_t pad = kTotal - kHeader - content.size() - 2;  // a 04 element fills the rest
    append(content, {0x04, uint8_t(pad)});
    content.insert(content.end(), pad, 0xA5);
    Bytes out(kHeader + content.size());
    out[0] = 0xE1;
    out[1] = 0x82;
    out[2] = uint8_t(content.size() >> 8);
    out[3] = uint8_t(content.size());
    std::copy(content.begin(), content.end(), out.begin() + kHeader);
    return out;
}

void setMBps(benchmark::State &state, size_t bytesPerIteration) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytesPerIteration));
    state.counters["MB/s"] = benchmark::Counter(
        double(state.iterations()) * double(bytesPerIteration) / 1e6, benchmark::Counter::kIsRate);
}

void BM_TlvValidate64KNested(benchmark::State &state) {
    const Bytes buffer = nested64k();
    if (tlv_validate(buffer.data(), uint32_t(buffer.size())) != TLV_OK)
        state.SkipWithError("benchmark buffer is not valid");
    for (auto _ : state) {
        benchmark::DoNotOptimize(tlv_validate(buffer.data(), uint32_t(buffer.size())));
    }
    setMBps(state, buffer.size());
}
BENCHMARK(BM_TlvValidate64KNested);

void BM_TlvParseBuffer64KNested(benchmark::State &state) {
    const Bytes buffer = nested64k();
    for (auto _ : state) {
        tlv_t *root = nullptr;
        if (tlv_parse_buffer(buffer.data(), &root) != TLV_OK) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root);
        tlv_delete(root);
    }
    setMBps(state, buffer.size());
}
BENCHMARK(BM_TlvParseBuffer64KNested);

void BM_FirmwareImageBuildAndSerialise512(benchmark::State &state) {
    static uint8_t chunk[512];
    for (size_t i = 0; i < sizeof chunk; ++i)
        chunk[i] = uint8_t(i);
    uint32_t offset = 0;
    for (auto _ : state) {
        uint32_t size = 1u << 20, at = offset;
        tlv_t *message = dez_build_firmware_image(&size, &at, chunk, sizeof chunk);
        uint8_t *wire = nullptr;
        uint32_t length = 0;
        tlv_write_tree(message, &wire, &length);
        benchmark::DoNotOptimize(wire);
        std::free(wire);
        dez_delete(message);
        offset += 512;
    }
}
BENCHMARK(BM_FirmwareImageBuildAndSerialise512);

void BM_ReassemblyFirmwareStream100(benchmark::State &state) {
    static uint8_t chunk[512];
    Bytes stream;
    for (uint32_t m = 0; m < 64; ++m) {
        uint32_t size = 64 * 512, offset = m * 512;
        tlv_t *message = dez_build_firmware_image(&size, &offset, chunk, sizeof chunk);
        uint8_t *wire = nullptr;
        uint32_t length = 0;
        tlv_write_tree(message, &wire, &length);
        stream.insert(stream.end(), wire, wire + length);
        std::free(wire);
        dez_delete(message);
    }
    size_t delivered = 0;
    HVPAPMessageHandler handler(1024, [&delivered](tlv_t *) { ++delivered; });
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += 100) {
            const size_t n = std::min<size_t>(100, stream.size() - at);
            handler.handleMessage(stream.data() + at, uint16_t(n));
        }
    }
    if (delivered != 64 * size_t(state.iterations())) state.SkipWithError("messages lost");
    setMBps(state, stream.size());
}
BENCHMARK(BM_ReassemblyFirmwareStream100);

}  // namespace
