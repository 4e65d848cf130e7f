/* The host's side of the library, for C programs: what the phone's application and operating
 * system provide. The same operations as HVHost.h (C++), with the same thread rules:
 *
 * - Every function may be called from any thread, unless its comment says otherwise.
 * - Observers run on the thread that posts the notification: the main thread for the
 *   accessory notifications, the reader driver's event thread for the card notifications
 *   ("HV_CARD_INSERTED", "HV_CARD_REMOVED"). An observer must return promptly and must not wait
 *   for another notification. It may add or remove observers, itself too.
 * - After hv_host_remove_observer() returns, the observer is not called again and no call of
 *   it is still running on another thread (a call on the removing thread itself may be).
 * - The sound hook is called on a thread of the library's own, never under a library lock.
 *
 * An ordinary program needs none of this: the defaults declare every Vorasel protocol, no
 * background mode, no sounds, and the library turns its own main loop. */
#ifndef VORASEL_HV_HOST_H
#define VORASEL_HV_HOST_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The accessory notifications, posted on the main thread with the accessory object as sender:
 * first the priority one (for the library's own listeners), then the public one. */
HV_EXPORT extern const char *const HVAccessoryDidConnectNotificationPriority;
HV_EXPORT extern const char *const HVAccessoryDidConnectNotification;
HV_EXPORT extern const char *const HVAccessoryDidDisconnectNotificationPriority;
HV_EXPORT extern const char *const HVAccessoryDidDisconnectNotification;

/* --- The main thread --- */

/* Declares that the host turns the main loop itself, on the process's initial thread, with
 * hv_host_run_main_loop_for(). Call it before anything else of the library; true when it took
 * effect, false when the library already turns the main loop on its own thread ("hv.main"). */
HV_EXPORT bool hv_host_set_runs_main_loop(void);
HV_EXPORT bool hv_host_runs_main_loop(void);
HV_EXPORT bool hv_host_is_main_thread(void);
/* Serves the work due on the main loop for `milliseconds` (0: what is due now). Only on the
 * initial thread of a host that runs the main loop; false otherwise. */
HV_EXPORT bool hv_host_run_main_loop_for(uint32_t milliseconds);

/* --- Notifications --- */

typedef uint64_t hv_observer_t;
typedef void (*hv_notification_fn)(const char *name, const void *sender, void *context);

/* Observes the notifications named `name` (NULL or "" for every notification). Returns a
 * token for hv_host_remove_observer(), or 0 when `fn` is NULL. */
HV_EXPORT hv_observer_t hv_host_add_observer(const char *name, hv_notification_fn fn,
                                             void *context);
/* Unknown and 0 tokens are ignored. */
HV_EXPORT void hv_host_remove_observer(hv_observer_t token);

/* --- The application's moves, posted on the main thread; they return once every observer has
 * run. A host that runs the main loop calls them from the main thread. --- */

HV_EXPORT void hv_host_post_did_enter_background(void);
HV_EXPORT void hv_host_post_will_enter_foreground(void);
HV_EXPORT void hv_host_post_will_terminate(void);

/* --- Facts the library reads. NULL texts are ignored. --- */

/* Boolean user defaults, absent means false; the library reads "HVPlaySounds". */
HV_EXPORT void hv_host_set_user_default(const char *key, bool value);
HV_EXPORT bool hv_host_user_default(const char *key);
HV_EXPORT void hv_host_remove_user_default(const char *key);

/* The folder searched for sound resources ("<name>.wav"). */
HV_EXPORT void hv_host_set_resource_directory(const char *directory);
/* Plays a system sound: receives the resource's path. NULL restores the silent default. */
typedef void (*hv_sound_fn)(const char *path, void *context);
HV_EXPORT void hv_host_set_sound_hook(hv_sound_fn fn, void *context);

/* The accessory protocol strings the application declares and its background modes: `count`
 * texts at `values` (count 0 declares none). False, with nothing changed, when `values` is NULL
 * with a count, or holds a NULL text. */
HV_EXPORT bool hv_host_set_supported_accessory_protocols(const char *const *values, size_t count);
HV_EXPORT bool hv_host_set_background_modes(const char *const *values, size_t count);

HV_EXPORT void hv_host_set_operating_system_version(const char *version);

/* --- The accessory transport --- */

/* Takes the accessories from the vorasel-accessoryd daemon listening at `socket_path`; false,
 * with the transport unchanged, when it cannot be reached (or the path is NULL). */
HV_EXPORT bool hv_host_use_accessory_daemon(const char *socket_path);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_HV_HOST_H */
