// The shared PC/SC client against libvorasel, with the simulated case embedded in the process
// and a card that offers T=0 and T=1 (IFSC 254) put in and taken out of its reader.
//
//   pcsc_vorasel_client [--short N] [--events N]
#include "vorasel/winscard.h"

#include "PcscClient.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/IsoCard.h"
#include "vorasel/sim/VirtualCard.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

class CaseTrigger : public pcsc_client::CardTrigger {
public:
    CaseTrigger() {
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
    pcsc_client::readCounts(argc, argv, 1, options);
    CaseTrigger trigger;
    return pcsc_client::Client(trigger, options).run() ? 0 : 1;
}
