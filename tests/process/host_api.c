/* The host API as a C program uses it, against the shared library: observers, the
 * application's moves delivered on the library's main thread, user defaults and the declared
 * facts, and refusals of bad arguments. Exits 0 when every check holds. */
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include "vorasel/hv_host.h"

#include "c_checks.h"

struct seen {
    atomic_int calls;
    atomic_int on_main;
    char last[64];
};

static void observe(const char *name, const void *sender, void *context) {
    struct seen *s = context;
    (void)sender;
    strncpy(s->last, name, sizeof s->last - 1);
    atomic_fetch_add(&s->on_main, hv_host_is_main_thread() ? 1 : 0);
    atomic_fetch_add(&s->calls, 1);
}

int main(void) {
    static struct seen foreground, all;

    /* Nobody here turns a main loop: the library does, and this thread is not it. */
    CHECK(!hv_host_runs_main_loop());
    CHECK(!hv_host_is_main_thread());
    CHECK(!hv_host_run_main_loop_for(0));
    CHECK(!hv_host_set_runs_main_loop());

    CHECK(hv_host_add_observer("x", NULL, NULL) == 0);
    hv_observer_t one =
        hv_host_add_observer("UIApplicationWillEnterForegroundNotification", observe, &foreground);
    hv_observer_t every = hv_host_add_observer(NULL, observe, &all);
    CHECK(one != 0 && every != 0 && one != every);

    /* Delivered on the main thread before the call returns. */
    hv_host_post_will_enter_foreground();
    CHECK(atomic_load(&foreground.calls) == 1);
    CHECK(atomic_load(&foreground.on_main) == 1);
    CHECK(strcmp(foreground.last, "UIApplicationWillEnterForegroundNotification") == 0);
    hv_host_post_did_enter_background();
    CHECK(atomic_load(&foreground.calls) == 1);
    CHECK(atomic_load(&all.calls) == 2);
    CHECK(strcmp(all.last, "UIApplicationDidEnterBackgroundNotification") == 0);

    hv_host_remove_observer(one);
    hv_host_remove_observer(one); /* again: ignored */
    hv_host_remove_observer(0);
    hv_host_post_will_enter_foreground();
    CHECK(atomic_load(&foreground.calls) == 1);
    CHECK(atomic_load(&all.calls) == 3);
    hv_host_remove_observer(every);

    CHECK(!hv_host_user_default("HVPlaySounds"));
    hv_host_set_user_default("HVPlaySounds", true);
    CHECK(hv_host_user_default("HVPlaySounds"));
    hv_host_remove_user_default("HVPlaySounds");
    CHECK(!hv_host_user_default("HVPlaySounds"));
    CHECK(!hv_host_user_default(NULL));
    hv_host_set_user_default(NULL, true);

    const char *protocols[] = {"com.vorasel.ccidbulk", "com.vorasel.ccidinterrupt"};
    CHECK(hv_host_set_supported_accessory_protocols(protocols, 2));
    const char *broken[] = {"com.vorasel.manager", NULL};
    CHECK(!hv_host_set_supported_accessory_protocols(broken, 2));
    CHECK(!hv_host_set_supported_accessory_protocols(NULL, 1));
    CHECK(hv_host_set_background_modes(NULL, 0));
    const char *modes[] = {"external-accessory"};
    CHECK(hv_host_set_background_modes(modes, 1));
    hv_host_set_operating_system_version("17.4");
    hv_host_set_resource_directory("/nonexistent");
    hv_host_set_sound_hook(NULL, NULL);

    CHECK(!hv_host_use_accessory_daemon(NULL));
    CHECK(!hv_host_use_accessory_daemon("/nonexistent/vorasel.sock"));

    CHECK(HVAccessoryDidConnectNotification != NULL &&
          strcmp(HVAccessoryDidConnectNotification, "HVAccessoryDidConnectNotification") == 0);

    if (failures)
        fprintf(stderr, "%d checks failed\n", failures);
    else
        printf("host API checks passed\n");
    return failures ? 1 : 0;
}
