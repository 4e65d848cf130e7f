// The host's side of the library: what the phone's application and operating system provide,
// for a Linux program that links libvorasel.
//
// The library runs inside its host's process and relies on the host for a few facts and
// events: a main thread whose loop turns, the application's information dictionary (declared
// accessory protocols, background modes), user defaults ("HVPlaySounds"), resources and system
// sounds, the operating-system version, and the application's moves to the background and
// back. On the phone they come from the platform; here a program sets them through HVHost. An
// ordinary program needs none of it: the defaults declare every Vorasel protocol, no
// background mode, no sounds, and the library turns its own main loop.
//
// Thread rules:
// - Every function may be called from any thread, unless its comment says otherwise.
// - Observers run on the thread that posts the notification: the main thread for the
//   accessory notifications (HVAccessory.h), the reader driver's event thread for the card
//   notifications ("HV_CARD_INSERTED", "HV_CARD_REMOVED"). An observer must return promptly
//   and must not wait for another notification. It may add or remove observers, itself too.
// - After removeObserver() returns, the observer is not called again, and no call of it is
//   still running on another thread (a call on the removing thread itself may be).
// - The sound hook is called on a thread of the library's own, never under a library lock;
//   a slow hook delays only later sounds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vorasel/hv_export.h"

class HV_EXPORT HVHost {
public:
    // --- The main thread ---

    // Declares that the host turns the main loop itself, on the process's initial thread, with
    // runMainLoopFor(). Call it before anything else of the library; true when it took effect,
    // false when the library had already started turning the main loop on its own thread.
    // Without it, the library's own thread ("hv.main") is the main thread.
    static bool setHostRunsMainLoop();
    static bool hostRunsMainLoop();
    // Whether the calling thread is the main thread.
    static bool isMainThread();
    // For a host that runs the main loop: serves the work due on it (notifications, timers)
    // for `duration`, then returns; a zero duration serves what is due now. Only on the
    // process's initial thread, and only after setHostRunsMainLoop(); false otherwise.
    static bool runMainLoopFor(std::chrono::milliseconds duration);

    // --- Notifications ---

    using ObserverToken = uint64_t;
    // `name` is the notification's name; `sender` the object that posted it (the HVAccessory
    // object for the accessory notifications), or null.
    using Observer = std::function<void(const char *name, const void *sender)>;
    // Observes the notifications of one name; an empty name observes every notification.
    static ObserverToken addObserver(const std::string &name, Observer observer);
    static void removeObserver(ObserverToken token);

    // --- The application's moves ---

    // Posted on the main thread, as the platform does; they return once every observer has
    // run. On a host that runs the main loop, call them from the main thread itself (from any
    // other thread they wait until the host next turns the loop).
    static void postDidEnterBackground();
    static void postWillEnterForeground();
    static void postWillTerminate();

    // --- Facts the library reads ---

    // User defaults: booleans, absent means false. The library reads "HVPlaySounds".
    static void setUserDefault(const std::string &key, bool value);
    static bool userDefault(const std::string &key);
    static void removeUserDefault(const std::string &key);

    // The folder searched for sound resources ("<name>.wav").
    static void setResourceDirectory(const std::string &directory);
    // Plays a system sound: receives the resource's path. The default hook does nothing.
    using SoundHook = std::function<void(const std::string &path)>;
    static void setSoundHook(SoundHook hook);

    // The accessory protocol strings the application declares ("com.vorasel.ccidbulk", ...) and
    // its background modes ("external-accessory", ...).
    static void setSupportedAccessoryProtocols(std::vector<std::string> protocols);
    static std::vector<std::string> supportedAccessoryProtocols();
    static void setBackgroundModes(std::vector<std::string> modes);
    static std::vector<std::string> backgroundModes();

    static void setOperatingSystemVersion(const std::string &version);
    static std::string operatingSystemVersion();

    // --- The accessory transport ---

    // Takes the accessories from the vorasel-accessoryd daemon listening at `socketPath`
    // (the environment variable VORASEL_ACCESSORYD_SOCKET does the same at start-up). Its
    // accessories attach at once, with the usual notifications. False when the daemon cannot
    // be reached; the transport is then unchanged. A transport chosen earlier is replaced and
    // its accessories detach.
    static bool useAccessoryDaemon(const std::string &socketPath);

    HVHost() = delete;
};
