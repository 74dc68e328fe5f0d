// LdSubscription: the handle an observer owns for as long as it wants to hear from a notifier.
#pragma once

#include <functional>
#include <utility>

// A registration with some notifier (the notification centre, a manager's observer list). It
// unregisters when destroyed or cancelled, so an observer that owns its subscriptions can never be
// called after it is gone. Movable, not copyable. The notifier hands it out with a cancel function
// that must stay safe to run after the notifier itself is gone (capture a weak_ptr to the
// notifier's state, not `this`). Not synchronised: one owner uses a subscription, the notifier
// behind it guards its own state.
class LdSubscription {
public:
    LdSubscription() = default;
    explicit LdSubscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}

    LdSubscription(const LdSubscription&) = delete;
    LdSubscription& operator=(const LdSubscription&) = delete;

    LdSubscription(LdSubscription&& other) noexcept
        : cancel_(std::exchange(other.cancel_, nullptr)) {}
    // Cancels the registration this handle held before taking over the other's.
    LdSubscription& operator=(LdSubscription&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }

    ~LdSubscription() { cancel(); }

    // Unregisters now; later calls, and the destructor, do nothing.
    void cancel() {
        // Cleared before the call, so a cancel function that ends up destroying this handle is
        // harmless.
        std::function<void()> cancel = std::exchange(cancel_, nullptr);
        if (cancel) {
            cancel();
        }
    }

    // Whether this handle still holds a registration.
    bool isActive() const { return static_cast<bool>(cancel_); }
    explicit operator bool() const { return isActive(); }

private:
    std::function<void()> cancel_;
};
