// One bulk session of the reader: its writer and the buffer its answers are built in.
#pragma once

#include "vorasel/sim/CcidReader.h"

namespace hv::sim {

struct CcidReader::Bulk {
    Bulk(std::shared_ptr<SessionPort> port, WireRecorder *recorder, Delivery::Sleep sleep,
         size_t maxMessage)
        : delivery(std::move(port), recorder, std::move(sleep)), response(maxMessage) {
        // With no earlier answer on this session, a stale one is this answer with the bSeq
        // before it.
        delivery.setStaleFallback([](std::span<const uint8_t> current) {
            Bytes stale(current.begin(), current.end());
            if (stale.size() > 6) --stale[6];
            return stale;
        });
    }

    Delivery delivery;
    Bytes response;
    CardReply reply;  // the card's answer, its buffer kept from one exchange to the next
    const FaultSet *faults = nullptr;  // those hitting the command being answered
};

}  // namespace hv::sim
