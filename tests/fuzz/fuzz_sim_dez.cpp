// Arbitrary bytes on the management service's pipe, in arbitrary pieces: the framer, the BER
// parser and every request handler must take them without reading out of bounds or hanging;
// every element parsed re-encodes to a parseable element.
#include <memory>

#include "support/ScriptPort.h"
#include "vorasel/sim/Ber.h"
#include "vorasel/sim/DezFramer.h"
#include "vorasel/sim/ManagementService.h"

namespace {

using namespace hv::sim;

ber::Node rebuild(const ber::Element &e) {
    ber::Node n{e.tag, {}, {}};
    if (!e.constructed) n.value.assign(e.value.begin(), e.value.end());
    for (const auto &c : e.children)
        n.children.push_back(rebuild(c));
    return n;
}

void frameOnly(std::span<const uint8_t> in) {
    DezFramer framer(1024);
    while (auto e = framer.next(in)) {
        if (e->kind != DezFramer::Event::Kind::Message) continue;
        auto parsed = ber::parse(e->bytes);
        if (!parsed) continue;
        const ber::Bytes again = ber::encode(rebuild(*parsed));
        if (!ber::parse(again)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    frameOnly({data, size});

    ManagementConfig config;
    config.maxFirmwareImage = 64 * 1024;
    ManagementService service(config);
    service.recorder().setEnabled(false);
    auto port = std::make_shared<hv::sim::fuzz::ScriptPort>("manager",
                                                            std::span<const uint8_t>(data, size));
    service.attachPort(port);
    port->waitClosed();
    return 0;
}
