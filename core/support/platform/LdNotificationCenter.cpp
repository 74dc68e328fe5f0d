// The notification centre: a registry of observers behind a mutex, and delivery from a snapshot of
// it so that callbacks run unlocked and may change the registry while they run.
#include "core/support/platform/LdNotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Observer {
    std::uint64_t id = 0;
    std::string name;
    const void* object = nullptr;
    LdNotificationCenter::Callback callback;
    // Cleared on cancel; a delivery already holding this observer checks it before every call.
    std::atomic<bool> active{true};

    bool matches(const LdNotification& notification) const {
        return (name.empty() || name == notification.name) &&
               (object == nullptr || object == notification.object);
    }
};

}  // namespace

// Shared between the centre and the cancel functions of its subscriptions, which hold it weakly.
struct LdNotificationCenter::State {
    mutable std::mutex mutex;
    std::uint64_t nextId = 1;
    // In registration order (ids grow).
    std::vector<std::shared_ptr<Observer>> observers;

    void remove(std::uint64_t id) {
        std::shared_ptr<Observer> removed;
        {
            std::lock_guard lock(mutex);
            const auto found = std::ranges::find_if(
                    observers,
                    [id](const std::shared_ptr<Observer>& observer) { return observer->id == id; });
            if (found == observers.end()) {
                return;
            }
            removed = std::move(*found);
            observers.erase(found);
            removed->active.store(false, std::memory_order_release);
        }
        // `removed` (and with it the callback and whatever it captured) is released here, unlocked,
        // unless a running delivery still holds it.
    }
};

LdNotificationCenter::LdNotificationCenter() : state_(std::make_shared<State>()) {}

LdNotificationCenter::~LdNotificationCenter() = default;

LdNotificationCenter& LdNotificationCenter::defaultCenter() {
    // Subscriptions that outlive it at process exit cancel harmlessly (they hold the state weakly).
    static LdNotificationCenter center;
    return center;
}

LdSubscription LdNotificationCenter::addObserverForName(std::string name,
                                                        const void* object,
                                                        Callback callback) {
    if (!callback) {
        return {};
    }
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->object = object;
    observer->callback = std::move(callback);
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
        observer->id = id;
        state_->observers.push_back(std::move(observer));
    }
    return LdSubscription([weakState = std::weak_ptr<State>(state_), id] {
        if (const std::shared_ptr<State> state = weakState.lock()) {
            state->remove(id);
        }
    });
}

void LdNotificationCenter::postNotificationName(std::string_view name,
                                                const void* object,
                                                LdValue::Dictionary userInfo) {
    postNotification(LdNotification{std::string(name), object, std::move(userInfo), {}});
}

void LdNotificationCenter::postNotification(const LdNotification& notification) {
    // Keeps the registry alive even if a callback destroys this centre.
    const std::shared_ptr<State> state = state_;
    std::vector<std::shared_ptr<Observer>> recipients;
    {
        std::lock_guard lock(state->mutex);
        for (const std::shared_ptr<Observer>& observer : state->observers) {
            if (observer->matches(notification)) {
                recipients.push_back(observer);
            }
        }
    }
    for (const std::shared_ptr<Observer>& observer : recipients) {
        if (observer->active.load(std::memory_order_acquire)) {
            observer->callback(notification);
        }
    }
}

std::size_t LdNotificationCenter::observerCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->observers.size();
}
