// Process-wide notification centre.
//
// Observers register for a name (or every name, with an empty one) and a sender (or any
// sender, with null). post() calls the matching observers synchronously on the posting
// thread, in registration order. An observer may add or remove observers, itself included,
// while it is being called; a removed observer is not called again once removeObserver has
// returned (removal waits for a call of it still running on another thread, not for one on the
// calling thread). To deliver on the main thread, post from work scheduled on RunLoop::main().
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hv::platform {

struct Notification {
    std::string name;
    const void *sender = nullptr;
    std::map<std::string, std::any> userInfo;
};

using ObserverToken = uint64_t;

class NotificationCenter {
public:
    static NotificationCenter &defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    ObserverToken addObserver(std::string name, const void *sender,
                              std::function<void(const Notification &)> block);
    void removeObserver(ObserverToken token);

    void post(const Notification &notification);
    void post(std::string name, const void *sender = nullptr,
              std::map<std::string, std::any> userInfo = {});

private:
    struct Observer;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
    ObserverToken nextToken_ = 1;
};

}  // namespace hv::platform
