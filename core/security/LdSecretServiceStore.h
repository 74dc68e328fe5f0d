// LdSecretServiceStore: saved passwords in the desktop's Secret Service (the keyring of the user's
// session, reached over the session bus).
#pragma once

#include <atomic>
#include <mutex>

#include "core/security/LdSecretStore.h"

// Items use one schema whose string attributes are "service", "account" and, where the item has
// one, "generic". A store that cannot be reached — no session bus, no Secret Service, a locked
// keyring — never fails or delays the caller's work for long: lookups answer "nothing saved", and
// the failure is logged once per process. Writes fail with an LdError instead.
class LdSecretServiceStore final : public LdSecretStore {
public:
    LdSecretServiceStore() = default;

    // Whether a session bus address is known at all (DBUS_SESSION_BUS_ADDRESS, or the bus socket
    // in XDG_RUNTIME_DIR). Without one nothing is tried: the bus library would otherwise try to
    // start a bus of its own.
    static bool isSessionBusConfigured();

    bool addGenericPassword(std::string_view service,
                            std::string_view account,
                            const std::optional<LdData>& generic,
                            const LdData& secret,
                            LdError* error = nullptr) override;
    std::optional<LdData> findGenericPassword(std::string_view service,
                                              std::string_view account,
                                              const std::optional<LdData>& generic,
                                              LdError* error = nullptr) const override;
    bool deleteGenericPassword(std::string_view service,
                               std::string_view account,
                               const std::optional<LdData>& generic,
                               LdError* error = nullptr) override;
    std::vector<std::string> accountNamesForService(
            std::string_view service,
            const std::optional<LdData>& generic = std::nullopt) const override;

private:
    // Logs the first failure to reach the store, and makes the error for the caller.
    LdError unavailable(const std::string& reason) const;

    // Serialises the calls: the bus library's synchronous calls each run a loop of their own.
    mutable std::mutex mutex_;
    mutable std::atomic<bool> failureLogged_{false};
};
