// The shared PC/SC client against pcsc-lite: a pcscd (PCSCLITE_CSOCK_NAME) with vsmartcard's
// vpcd reader, and an echo card of ours at vpcd's port. Run by bench/run_pcsc_comparison.sh.
//
//   pcsc_peer_client VPCD_PORT [--short N] [--events N]
#include <winscard.h>

#include <cstdio>
#include <cstdlib>

#include "PcscClient.h"
#include "VpcdEchoCard.h"

namespace {

class EchoCardTrigger : public pcsc_client::CardTrigger {
public:
    explicit EchoCardTrigger(uint16_t port) : card_(port) {}
    bool insert(DWORD) override {
        if (card_.insert()) return true;
        std::fprintf(stderr, "pcsc peer client: vpcd is not listening\n");
        return false;
    }
    bool remove() override {
        card_.remove();
        return true;
    }

private:
    VpcdEchoCard card_;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pcsc_peer_client VPCD_PORT [--short N] [--events N]\n");
        return 2;
    }
    pcsc_client::Options options;
    options.label = "pcsc peer client";
    pcsc_client::readCounts(argc, argv, 2, options);
    EchoCardTrigger trigger(static_cast<uint16_t>(std::atoi(argv[1])));
    return pcsc_client::Client(trigger, options).run() ? 0 : 1;
}
