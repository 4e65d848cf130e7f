// Arbitrary bytes on the simulated reader's bulk pipe, in arbitrary pieces: the framer and
// every command handler must take them without reading out of bounds or hanging.
#include <memory>

#include "support/ScriptPort.h"
#include "vorasel/sim/Ccid.h"
#include "vorasel/sim/CcidFramer.h"
#include "vorasel/sim/CcidReader.h"

namespace {

using namespace hv::sim;

class Echo final : public Card {
public:
    std::optional<Bytes> powerOn(PowerSelect v) override {
        if (v == PowerSelect::V5) return std::nullopt;  // exercise the mute path too
        return Bytes{0x3B, 0x02, 0x14, 0x50};
    }
    void powerOff() override {}
    CardReply exchange(std::span<const uint8_t> b) override {
        CardReply r{Bytes(b.begin(), b.end())};
        r.mute = !b.empty() && b[0] == 0xEE;
        return r;
    }
};

void frameOnly(std::span<const uint8_t> in) {
    CcidFramer framer(270);
    while (auto e = framer.next(in)) {
        if (e->kind == CcidFramer::Event::Kind::Message) {
            const auto h = ccid::parseHeader(e->bytes);
            if (!h || e->bytes.size() != ccid::kHeaderSize + h->length) __builtin_trap();
            if (h->type == ccid::kSetParameters) ccid::checkParameters(e->bytes);
        } else if (e->bytes.size() != ccid::kHeaderSize) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    frameOnly({data, size});

    CcidReaderConfig config;
    config.muteTimeout = std::chrono::microseconds(0);
    config.timeExtensionInterval = std::chrono::microseconds(100);
    CcidReader reader(config);
    reader.recorder().setEnabled(false);
    reader.insertCard(std::make_shared<Echo>());
    auto port = std::make_shared<hv::sim::fuzz::ScriptPort>("ccidbulk",
                                                            std::span<const uint8_t>(data, size));
    reader.attachPort(port);
    port->waitClosed();
    return 0;
}
