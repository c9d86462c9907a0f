// The system's background services as the environment checker needs them: a list
// of what is installed, one service's state, and stopping and disabling one. Plain
// operations; the backend for each platform lives in services_<platform>.cpp.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace hostservices {

struct Service {
    QString name;         // what the service manager calls it
    QString displayName;  // what the operator sees
    bool running = false;
};

enum class State {
    Missing,     // no such service is installed
    Unreadable,  // the service manager did not answer
    Stopped,
    Active,  // running, or starting or stopping
};

enum class StopRequest {
    Accepted,
    Refused,
    // The service manager refused it to this user; an administrator may do it.
    NeedsRights,
};

// Every service the manager knows. False, with the reason in `error`, when the
// list cannot be read at all (no service manager).
bool list(QVector<Service> *out, QString *error);

State state(const QString &name);

// Asks the manager to stop the service; the stop itself may take a while.
StopRequest requestStop(const QString &name, QString *error);

// Keeps the service from starting again with the system; changes nothing else.
bool disable(const QString &name, QString *error);

// The names VMware's USB arbitration service and its companion host service are
// installed under here.
QStringList arbitrationServiceNames();
QStringList hostServiceNames();

}  // namespace hostservices
