#include "kelfilemanager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QUrl>

// The freedesktop FileManager1 interface, which the common file managers
// (Nautilus, Dolphin, Thunar, Nemo, Caja) offer on the session bus.
bool kelShowInFileManager(const QString &filePath) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    // Activatable services count too: the file manager may start on the call.
    if (!bus.interface()->isServiceRegistered(service).value() &&
        !bus.interface()->activatableServiceNames().value().contains(service)) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/FileManager1"), service,
        QStringLiteral("ShowItems"));
    call << QStringList(QUrl::fromLocalFile(filePath).toString()) << QString();
    const QDBusMessage answer = bus.call(call, QDBus::Block, 5000);
    return answer.type() == QDBusMessage::ReplyMessage;
}
