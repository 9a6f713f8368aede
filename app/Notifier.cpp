#include "app/Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace app {

void NotifyFaxProblem(const QString& number, const QString& reason) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    const QVariantMap hints{{"desktop-entry", QStringLiteral("faxmail")}, {"urgency", QVariant::fromValue<uchar>(1)}};
    call << QStringLiteral("faxmail") << 0u << QStringLiteral("faxmail")
         << QString::fromUtf8("发往 %1 的传真出了问题").arg(number) << reason << QStringList() << hints << -1;
    // The answer is not needed, only that the call ends: a hung service costs
    // the watch two seconds, never more.
    bus.call(call, QDBus::Block, 2000);
}

}  // namespace app
