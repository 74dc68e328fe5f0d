// LdNotificationCenter: named notifications posted by one part of the library and heard by any
// other, with observers registered through subscriptions they own.
#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/support/foundation/LdValue.h"
#include "core/support/platform/LdSubscription.h"

// One posted notification. `object` is the sender's identity, only ever compared, never
// dereferenced.
struct LdNotification {
    std::string name;
    const void* object = nullptr;
    LdValue::Dictionary userInfo;
    // A typed value for notifications whose contents are no plain values (the changed objects
    // of a context); the poster documents its type.
    std::any payload;
};

// Delivers notifications synchronously, on the posting thread, to the matching observers in the
// order they registered. Registration and removal are thread-safe; callbacks run without any lock
// held, so an observer may post, add observers or cancel subscriptions (its own or others') while
// it is being called. A subscription cancelled during a delivery is not called for the rest of it;
// one added during a delivery first hears the next post. The centre never owns observers: it keeps
// only the callbacks, and a subscription that outlives its centre cancels harmlessly. A cancel on
// one thread does not wait for a callback already running on another.
class LdNotificationCenter {
public:
    using Callback = std::function<void(const LdNotification&)>;

    LdNotificationCenter();
    ~LdNotificationCenter();
    LdNotificationCenter(const LdNotificationCenter&) = delete;
    LdNotificationCenter& operator=(const LdNotificationCenter&) = delete;

    // defaultCenter — the centre of the process, created on first use.
    static LdNotificationCenter& defaultCenter();

    // addObserverForName:object:usingBlock:
    // Registers `callback` for notifications called `name` (empty: any name) from `object`
    // (nullptr: any sender). The registration lasts as long as the returned subscription. A missing
    // callback registers nothing and returns an empty subscription.
    [[nodiscard]] LdSubscription addObserverForName(std::string name,
                                                    const void* object,
                                                    Callback callback);

    // postNotificationName:object:userInfo:
    // Calls every matching observer before returning.
    void postNotificationName(std::string_view name,
                              const void* object = nullptr,
                              LdValue::Dictionary userInfo = {});
    // postNotification:
    void postNotification(const LdNotification& notification);

    // The number of registered observers (tests, diagnostics).
    std::size_t observerCount() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};
