#include "cli/CommandPasswords.h"

#include "app/SecretStore.h"
#include "app/Settings.h"
#include "platform/LocaleText.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace app {

QString TakeSecretVariable(const char* name) {
    const char* variable = std::getenv(name);
    const QString value = variable != nullptr ? QString::fromStdString(Win::LocaleTextToUtf8(variable).Bytes()) : QString();
    const std::size_t nameLength = std::strlen(name);
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, name, nameLength) == 0 && (*entry)[nameLength] == '=')
            std::memset(*entry + nameLength + 1, 0, std::strlen(*entry + nameLength + 1));
    ::unsetenv(name);
    return value;
}

QString StoredPassword() {
    QString secret;
    bool answered = false;
    QEventLoop loop;
    SecretStore().Read(kPasswordKey, [&](TSecretStore::TOutcome outcome, const QString& value) {
        if (outcome == TSecretStore::TOutcome::Done) secret = value;
        answered = true;
        loop.quit();
    });
    if (!answered) {
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return secret;
}

}  // namespace app
