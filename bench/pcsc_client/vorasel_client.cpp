// The shared PC/SC client against libvorasel, with the simulated case embedded in the process
// and a card that offers T=0 and T=1 (IFSC 254) put in and taken out of its reader.
//
//   pcsc_vorasel_client [--short N] [--events N]
//   pcsc_vorasel_client --daemon SOCKET [--short N] [--events N]
//       the case of vorasel-accessoryd at SOCKET instead, its cards put in and out on command
//
// Every heap allocation of the process is counted (tests/support/AllocationCount.cpp), so each
// series reports its allocations per APDU.
#include "vorasel/winscard.h"

#include <cstdio>
#include <string>

#include "AllocationCount.h"
#include "DaemonCards.h"
#include "PcscClient.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVHost.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/IsoCard.h"
#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

class CaseTrigger : public pcsc_client::CardTrigger {
public:
    CaseTrigger() {
        // Recording off, as vorasel-accessoryd runs the case: the counts are then the
        // library's and the case's own work.
        {
            auto lock = case_.accessory().lock();
            for (const char *p : {"ccidbulk", "ccidinterrupt"})
                case_.accessory().faults(p).record = false;
        }
        case_.recorder().setEnabled(false);
        hv::sim::inprocess::connect(case_.sharedAccessory());
        case_.accessory().attach();
    }
    ~CaseTrigger() override { hv::sim::inprocess::disconnect(case_.sharedAccessory()); }
    bool insert(DWORD) override {
        hv::sim::CardConfig config;
        config.atr.t0 = true;
        config.atr.t1 = true;
        config.atr.ifsc = 254;
        case_.insertCard(
            std::make_shared<hv::sim::VirtualCard>(config, std::make_shared<hv::sim::IsoCard>()));
        return true;
    }
    bool remove() override {
        case_.removeCard();
        return true;
    }

private:
    hv::sim::VoraselCase case_;
};

}  // namespace

int main(int argc, char **argv) {
    pcsc_client::Options options;
    options.allocations = hv::test::allocationsSoFar;
    if (argc >= 3 && std::string(argv[1]) == "--daemon") {
        pcsc_client::readCounts(argc, argv, 3, options);
        options.label = "libvorasel through vorasel-accessoryd";
        if (!HVHost::useAccessoryDaemon(argv[2])) {
            std::fprintf(stderr, "pcsc_vorasel_client: no daemon at %s\n", argv[2]);
            return 1;
        }
        pcsc_client::DaemonCards cards(argv[2]);
        return pcsc_client::Client(cards, options).run() ? 0 : 1;
    }
    pcsc_client::readCounts(argc, argv, 1, options);
    CaseTrigger trigger;
    return pcsc_client::Client(trigger, options).run() ? 0 : 1;
}
