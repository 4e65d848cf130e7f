#include "vorasel/hv_host.h"

#include <string>
#include <vector>

#include "vorasel/HVHost.h"

namespace {

bool textList(const char *const *values, size_t count, std::vector<std::string> *out) {
    if (!values && count > 0) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!values[i]) return false;
        out->emplace_back(values[i]);
    }
    return true;
}

}  // namespace

bool hv_host_set_runs_main_loop(void) {
    return HVHost::setHostRunsMainLoop();
}

bool hv_host_runs_main_loop(void) {
    return HVHost::hostRunsMainLoop();
}

bool hv_host_is_main_thread(void) {
    return HVHost::isMainThread();
}

bool hv_host_run_main_loop_for(uint32_t milliseconds) {
    return HVHost::runMainLoopFor(std::chrono::milliseconds(milliseconds));
}

hv_observer_t hv_host_add_observer(const char *name, hv_notification_fn fn, void *context) {
    if (!fn) return 0;
    return HVHost::addObserver(name ? name : "", [fn, context](const char *n, const void *sender) {
        fn(n, sender, context);
    });
}

void hv_host_remove_observer(hv_observer_t token) {
    if (token) HVHost::removeObserver(token);
}

void hv_host_post_did_enter_background(void) {
    HVHost::postDidEnterBackground();
}

void hv_host_post_will_enter_foreground(void) {
    HVHost::postWillEnterForeground();
}

void hv_host_post_will_terminate(void) {
    HVHost::postWillTerminate();
}

void hv_host_set_user_default(const char *key, bool value) {
    if (key) HVHost::setUserDefault(key, value);
}

bool hv_host_user_default(const char *key) {
    return key && HVHost::userDefault(key);
}

void hv_host_remove_user_default(const char *key) {
    if (key) HVHost::removeUserDefault(key);
}

void hv_host_set_resource_directory(const char *directory) {
    if (directory) HVHost::setResourceDirectory(directory);
}

void hv_host_set_sound_hook(hv_sound_fn fn, void *context) {
    if (!fn) {
        HVHost::setSoundHook(nullptr);
        return;
    }
    HVHost::setSoundHook([fn, context](const std::string &path) { fn(path.c_str(), context); });
}

bool hv_host_set_supported_accessory_protocols(const char *const *values, size_t count) {
    std::vector<std::string> list;
    if (!textList(values, count, &list)) return false;
    HVHost::setSupportedAccessoryProtocols(std::move(list));
    return true;
}

bool hv_host_set_background_modes(const char *const *values, size_t count) {
    std::vector<std::string> list;
    if (!textList(values, count, &list)) return false;
    HVHost::setBackgroundModes(std::move(list));
    return true;
}

void hv_host_set_operating_system_version(const char *version) {
    if (version) HVHost::setOperatingSystemVersion(version);
}

bool hv_host_use_accessory_daemon(const char *socket_path) {
    return socket_path && HVHost::useAccessoryDaemon(socket_path);
}
