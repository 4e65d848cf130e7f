#include "Platform/NotificationCenter.h"

#include <algorithm>

namespace hv::platform {

struct NotificationCenter::Observer {
    ObserverToken token;
    std::string name;
    const void *sender;
    std::function<void(const Notification &)> block;
    // Held while the observer runs; recursive so that the observer may remove itself.
    std::recursive_mutex calling;
    bool removed = false;  // guarded by `calling`
};

NotificationCenter &NotificationCenter::defaultCenter() {
    static NotificationCenter *center = new NotificationCenter;
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void *sender,
                                              std::function<void(const Notification &)> block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->sender = sender;
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observer->token = nextToken_++;
    observers_.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::shared_ptr<Observer> observer;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(observers_.begin(), observers_.end(),
                               [&](const auto &o) { return o->token == token; });
        if (it == observers_.end()) return;
        observer = *it;
        observers_.erase(it);
    }
    std::lock_guard calling(observer->calling);
    observer->removed = true;
}

void NotificationCenter::post(const Notification &notification) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto &o : observers_) {
            if (!o->name.empty() && o->name != notification.name) continue;
            if (o->sender && o->sender != notification.sender) continue;
            matching.push_back(o);
        }
    }
    for (const auto &o : matching) {
        std::lock_guard calling(o->calling);
        if (!o->removed) o->block(notification);
    }
}

void NotificationCenter::post(std::string name, const void *sender,
                              std::map<std::string, std::any> userInfo) {
    post(Notification{std::move(name), sender, std::move(userInfo)});
}

}  // namespace hv::platform
