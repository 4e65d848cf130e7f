/* The simulated Vorasel case inside this process, attached to the library's accessory service:
 * for programs that run without a case and without the vorasel-accessoryd daemon. It belongs
 * to the vorasel-sim library (CMake target vorasel::vorasel-sim), which carries the library
 * statically: link it instead of vorasel::vorasel, never beside it.
 *
 * Card kinds: "t0", "t1", "t1-crc", "dual", "fast" (see the simulator's card catalogue).
 * Every function may be called from any thread. */
#ifndef VORASEL_HV_SIMULATED_CASE_H
#define VORASEL_HV_SIMULATED_CASE_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the case on first use and attaches it, with a card of `card_kind` in the reader (NULL
 * or "" for an empty slot). False, with nothing changed, for an unknown kind. Attaching an
 * attached case only changes the card. */
bool hv_simulated_case_attach(const char *card_kind);
/* The case leaves, as when it is pulled off the phone. */
void hv_simulated_case_detach(void);
bool hv_simulated_case_is_attached(void);

/* A card of `card_kind` into the reader (replacing one there); false for an unknown kind. */
bool hv_simulated_case_insert_card(const char *card_kind);
void hv_simulated_case_remove_card(void);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_HV_SIMULATED_CASE_H */
