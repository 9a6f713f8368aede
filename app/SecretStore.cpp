#include "app/SecretStore.h"

#include "platform/Modules.h"

namespace app {
namespace {

// Where no desktop store can be loaded: none answers, as when the desktop
// runs none.
class TNoSecretStore : public TSecretStore {
public:
    void Read(const QString&, TReply reply) override { reply(TOutcome::Failed, QString()); }
    void Write(const QString&, const QString&, TReply reply) override { reply(TOutcome::Failed, QString()); }
    void Remove(const QString&, TReply reply) override { reply(TOutcome::Failed, QString()); }
};

std::unique_ptr<TSecretStore>& CurrentStore() {
    static std::unique_ptr<TSecretStore> store;
    return store;
}

}  // namespace

std::unique_ptr<TSecretStore> MakeDesktopSecretStore() {
    // QtKeychain and its D-Bus stack are a module (DesktopSecretStore.cpp): a
    // command whose password comes from the environment never loads them.
    using TMake = TSecretStore* (*)();
    static const auto make = reinterpret_cast<TMake>(Win::ModuleFunction("faxmail-secrets.so", "faxmail_make_secret_store"));
    if (make == nullptr) return std::make_unique<TNoSecretStore>();
    return std::unique_ptr<TSecretStore>(make());
}

TSecretStore& SecretStore() {
    if (!CurrentStore()) CurrentStore() = MakeDesktopSecretStore();
    return *CurrentStore();
}

void SetSecretStore(std::unique_ptr<TSecretStore> store) { CurrentStore() = std::move(store); }

}  // namespace app
