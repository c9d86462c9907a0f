#include "extraserialports.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>

#include "settings.h"

const char kExtraSerialPortsVariable[] = "KELFLASH_EXTRA_SERIAL_PORTS";

namespace {

QStringList splitPaths(const QString &text) {
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

// Where a port name leads: a bare name ("ttyUSB0") is a node in /dev.
QString deviceOf(const QString &port) {
    const QFileInfo info(port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port);
    return info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
}

// Said once per path: the list is read at every scan.
void warnOnce(const QString &path, const char *what) {
    static QMutex lock;
    static QSet<QString> warned;
    QMutexLocker locker(&lock);
    if (!warned.contains(path)) {
        warned.insert(path);
        qWarning().noquote() << "Extra serial port" << path << what;
    }
}

}  // namespace

QStringList extraSerialPorts() {
    QStringList named = splitPaths(qEnvironmentVariable(kExtraSerialPortsVariable));
    named += splitPaths(Settings::instance().value(QStringLiteral("serial"), QStringLiteral("extra_ports")));
    QStringList ports;
    QStringList devices;
    for (const QString &path : named) {
        const QFileInfo info(path);
        if (!info.exists()) {
            warnOnce(path, "does not exist");
            continue;
        }
        // Neither a directory nor a regular file: a device node (a pty, a tty).
        if (info.isDir() || info.isFile()) {
            warnOnce(path, "is no device");
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
