// Where a remembered password lives: the desktop's secret store (Secret
// Service, through QtKeychain), never the settings file. Replies come later,
// from the event loop, as the desktop's store answers over D-Bus; tests put
// a store of their own in its place.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace app {

class TSecretStore {
public:
    enum class TOutcome {
        Done,
        NotFound,  // nothing kept under that key
        Failed,    // no store answered, or it refused
    };
    // The secret is the one read (Read with Done), empty otherwise.
    using TReply = std::function<void(TOutcome outcome, const QString& secret)>;

    virtual ~TSecretStore() = default;
    virtual void Read(const QString& key, TReply reply) = 0;
    virtual void Write(const QString& key, const QString& secret, TReply reply) = 0;
    virtual void Remove(const QString& key, TReply reply) = 0;
    // Gives requests still under way up to limitMs to finish: a password
    // typed just before the program ends still reaches the store.
    virtual void Finish(int limitMs) { (void)limitMs; }
};

// The store the windows use: the one set, or else the desktop's.
TSecretStore& SecretStore();
// Replaces it (nullptr: back to the desktop's).
void SetSecretStore(std::unique_ptr<TSecretStore> store);

// The desktop's store, under the program's name.
std::unique_ptr<TSecretStore> MakeDesktopSecretStore();

}  // namespace app
