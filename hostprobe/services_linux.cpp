// Services are systemd units, reached over the system bus.
#include "services.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariant>

namespace {

const QString kSystemd = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnit = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kServiceSuffix = QStringLiteral(".service");
// A manager that does not answer within this time is treated as absent; the stop
// wait polls every few milliseconds and must not hang on one call.
constexpr int kCallTimeoutMs = 5000;

QDBusMessage callManager(const QString &method, const QVariantList &args) {
    QDBusMessage call = QDBusMessage::createMethodCall(kSystemd, kManagerPath, kManager, method);
    call.setArguments(args);
    return QDBusConnection::systemBus().call(call, QDBus::Block, kCallTimeoutMs);
}

bool failed(const QDBusMessage &reply, const QString &signature, QString *error) {
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == signature) {
        return false;
    }
    if (error) {
        *error = reply.type() == QDBusMessage::ErrorMessage
                     ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
                     : QStringLiteral("unexpected answer of signature ") + reply.signature();
    }
    return true;
}

bool unitProperty(const QString &unitPath, const QString &name, QString *value) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kSystemd, unitPath, kProperties, QStringLiteral("Get"));
    call.setArguments({kUnit, name});
    QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, kCallTimeoutMs);
    if (failed(reply, QStringLiteral("v"), nullptr)) {
        return false;
    }
    QVariant v = reply.arguments().at(0).value<QDBusVariant>().variant();
    if (v.userType() != QMetaType::QString) {
        return false;
    }
    *value = v.toString();
    return true;
}

}  // namespace

namespace hostservices {

bool list(QVector<Service> *out, QString *error) {
    out->clear();
    QDBusMessage reply = callManager(QStringLiteral("ListUnits"), {});
    if (failed(reply, QStringLiteral("a(ssssssouso)"), error)) {
        return false;
    }
    const QDBusArgument units = reply.arguments().at(0).value<QDBusArgument>();
    units.beginArray();
    while (!units.atEnd()) {
        QString id, description, loadState, activeState, subState, following, jobType;
        QDBusObjectPath unitPath, jobPath;
        uint jobId = 0;
        units.beginStructure();
        units >> id >> description >> loadState >> activeState >> subState >> following >>
            unitPath >> jobId >> jobType >> jobPath;
        units.endStructure();
        // Sockets, mounts and the like are units too, but no service.
        if (id.endsWith(kServiceSuffix)) {
            out->append({id, description, subState == QLatin1String("running")});
        }
    }
    units.endArray();
    return true;
}

State state(const QString &name) {
    QDBusMessage reply = callManager(QStringLiteral("LoadUnit"), {name});
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.systemd1.NoSuchUnit")) {
        return State::Missing;
    }
    if (failed(reply, QStringLiteral("o"), nullptr)) {
        return State::Unreadable;
    }
    const QString unitPath = reply.arguments().at(0).value<QDBusObjectPath>().path();
    QString loadState, activeState;
    if (!unitProperty(unitPath, QStringLiteral("LoadState"), &loadState) ||
        !unitProperty(unitPath, QStringLiteral("ActiveState"), &activeState)) {
        return State::Unreadable;
    }
    // systemd answers for any well-formed name; one it has no file for is "not-found".
    if (loadState == QLatin1String("not-found")) {
        return State::Missing;
    }
    if (activeState == QLatin1String("inactive") || activeState == QLatin1String("failed")) {
        return State::Stopped;
    }
    return State::Active;
}

StopRequest requestStop(const QString &name, QString *error) {
    QDBusMessage reply = callManager(QStringLiteral("StopUnit"), {name, QStringLiteral("replace")});
    if (!failed(reply, QStringLiteral("o"), error)) {
        return StopRequest::Accepted;
    }
    // Without root, systemd asks polkit, which refuses a caller that cannot be
    // asked for a password (or denies it outright where there is no polkit).
    const QString why = reply.errorName();
    if (why == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
        why == QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")) {
        return StopRequest::NeedsRights;
    }
    return StopRequest::Refused;
}

bool disable(const QString &name, QString *error) {
    QDBusMessage reply =
        callManager(QStringLiteral("DisableUnitFiles"), {QStringList{name}, false});
    if (failed(reply, QStringLiteral("a(sss)"), error)) {
        return false;
    }
    // The manager reads the changed unit files only when told to, as systemctl does.
    return !failed(callManager(QStringLiteral("Reload"), {}), QString(), error);
}

// The VMware installer puts System V scripts into /etc/init.d, which systemd runs
// as services of the same name; distribution packages ship units in lower case.
QStringList arbitrationServiceNames() {
    return {QStringLiteral("vmware-USBArbitrator.service"),
            QStringLiteral("vmware-usbarbitrator.service")};
}

QStringList hostServiceNames() {
    return {QStringLiteral("vmware-workstation-server.service"),
            QStringLiteral("vmware-hostd.service")};
}

}  // namespace hostservices
