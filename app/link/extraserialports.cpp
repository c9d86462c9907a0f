#include "extraserialports.h"

#include <QSet>
#include <QFileInfo>

#include "pathlist.h"
#include "settings.h"

const char kExtraSerialPortsVariable[] = "KELFLASH_EXTRA_SERIAL_PORTS";

namespace {

// Where a port name leads: a bare name ("ttyUSB0") is a node in /dev.
QString deviceOf(const QString &port) {
    const QFileInfo info(port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port);
    return info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
}

}  // namespace

QStringList extraSerialPorts() {
    QStringList named = splitPathList(qEnvironmentVariable(kExtraSerialPortsVariable));
    named += splitPathList(Settings::instance().value(QStringLiteral("serial"), QStringLiteral("extra_ports")));
    QStringList ports;
    QStringList devices;
    for (const QString &path : named) {
        const QFileInfo info(path);
        if (!info.exists()) {
            warnOncePerPath("Extra serial port", path, "does not exist");
            continue;
        }
        // Neither a directory nor a regular file: a device node (a pty, a tty).
        if (info.isDir() || info.isFile()) {
            warnOncePerPath("Extra serial port", path, "is no device");
            continue;
        }
        const QString device = info.canonicalFilePath();
        if (!devices.contains(device)) {
            devices << device;
            ports << path;
        }
    }
    return ports;
}

QStringList withExtraSerialPorts(const QStringList &systemPorts) {
    QStringList ports = extraSerialPorts();
    QSet<QString> devices;
    for (const QString &port : ports) {
        devices.insert(deviceOf(port));
    }
    for (const QString &port : systemPorts) {
        if (!devices.contains(deviceOf(port))) {
            ports << port;
        }
    }
    return ports;
}
