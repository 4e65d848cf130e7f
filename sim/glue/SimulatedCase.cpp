// The embedded case behind hv_simulated_case.h: one VoraselCase for the process, linked to the
// library's accessory service in process.
#include <memory>
#include <mutex>
#include <string>

#include "vorasel/hv_simulated_case.h"
#include "vorasel/sim/CardCatalogue.h"
#include "vorasel/sim/InProcessLink.h"
#include "vorasel/sim/VoraselCase.h"

namespace {

std::mutex &caseLock() {
    static auto *lock = new std::mutex;
    return *lock;
}

// Made on first use and never destroyed: the library's threads may still reach it at exit.
hv::sim::VoraselCase &embeddedCase() {
    static auto *theCase = [] {
        auto *c = new hv::sim::VoraselCase;
        hv::sim::inprocess::connect(c->sharedAccessory());
        return c;
    }();
    return *theCase;
}

bool insertLocked(const char *kind) {
    auto card = hv::sim::makeCard(kind);
    if (!card || std::string(kind) == "vpcd") return false;
    embeddedCase().insertCard(std::move(card));
    return true;
}

}  // namespace

bool hv_simulated_case_attach(const char *card_kind) {
    std::lock_guard lock(caseLock());
    const bool withCard = card_kind && *card_kind;
    if (withCard && !hv::sim::makeCard(card_kind)) return false;
    auto &c = embeddedCase();
    if (withCard)
        insertLocked(card_kind);
    else
        c.removeCard();
    if (!c.accessory().isAttached()) c.accessory().attach();
    return true;
}

void hv_simulated_case_detach(void) {
    std::lock_guard lock(caseLock());
    auto &c = embeddedCase();
    if (c.accessory().isAttached()) c.accessory().detach();
}

bool hv_simulated_case_is_attached(void) {
    std::lock_guard lock(caseLock());
    return embeddedCase().accessory().isAttached();
}

bool hv_simulated_case_insert_card(const char *card_kind) {
    if (!card_kind) return false;
    std::lock_guard lock(caseLock());
    return insertLocked(card_kind);
}

void hv_simulated_case_remove_card(void) {
    std::lock_guard lock(caseLock());
    embeddedCase().removeCard();
}
