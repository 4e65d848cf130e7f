// The PC/SC client of the reader comparison (bench/run_pcscd_driver_comparison.sh), against
// the pcscd that PCSCLITE_CSOCK_NAME names:
//
//   pcscd_driver_client vorasel SOCKET [--short N] [--events N]
//       the Vorasel reader module; cards go in and out through vorasel-accessoryd's commands
//       at SOCKET (a T=1 card, then a T=0 card)
//   pcscd_driver_client vpcd PORT [--short N] [--events N]
//       vsmartcard's vpcd reader; an echo card (T=0 and T=1) connects to PORT
//   pcscd_driver_client embedded READER [--short N]
//       the reader module with the simulated case inside pcscd (DEVICENAME
//       vorasel-simulated:dual): its card stays in, so no card events are measured
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <winscard.h>

#include "DaemonCards.h"
#include "PcscClient.h"
#include "VpcdEchoCard.h"

namespace {

using pcsc_client::CardTrigger;
using pcsc_client::DaemonCards;

class EchoCard : public CardTrigger {
public:
    explicit EchoCard(uint16_t port) : card_(port) {}
    bool insert(DWORD) override { return card_.insert(); }
    bool remove() override {
        card_.remove();
        return true;
    }

private:
    VpcdEchoCard card_;
};

// The embedded case's card (T=0 and T=1) is always in.
class FixedCard : public CardTrigger {
public:
    bool insert(DWORD) override { return true; }
    bool remove() override { return false; }
};

int usage() {
    std::fprintf(stderr,
                 "usage: pcscd_driver_client vorasel SOCKET | vpcd PORT | embedded READER "
                 "[--short N] [--events N]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string kind = argv[1];
    pcsc_client::Options options;
    options.mediumApdus = 1000;
    options.extendedApdus = 20;
    options.cardEvents = 100;
    options.label = "pcscd driver client";
    pcsc_client::readCounts(argc, argv, 3, options);
    if (kind == "vorasel") {
        DaemonCards cards(argv[2]);
        options.reader = "Halvane Smart Card Reader 00 00";
        return pcsc_client::Client(cards, options).run() ? 0 : 1;
    }
    if (kind == "vpcd") {
        EchoCard card(static_cast<uint16_t>(std::atoi(argv[2])));
        options.reader = "Virtual PCD 00 00";
        return pcsc_client::Client(card, options).run() ? 0 : 1;
    }
    if (kind == "embedded") {
        FixedCard card;
        options.reader = argv[2];
        options.cardEvents = 0;
        return pcsc_client::Client(card, options).run() ? 0 : 1;
    }
    return usage();
}
