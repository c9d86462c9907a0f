// Device changes from udev: a netlink monitor read through the event loop. Where no
// udev daemon runs (containers) the kernel's own uevents are read instead, so a
// plugged board is still noticed.
#include <libudev.h>

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>

#include "devicewatcher.h"

struct DeviceWatcher::Private {
    struct udev *udev = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
    QString source;
};

namespace {

int changeCode(struct udev_device *dev) {
    const char *subsystem = udev_device_get_subsystem(dev);
    const char *devtype = udev_device_get_devtype(dev);
    const char *action = udev_device_get_action(dev);
    if (!subsystem || !devtype || !action) {
        return DeviceWatcher::OtherChange;
    }
    QByteArray act(action);
    if (qstrcmp(subsystem, "usb") == 0 && qstrcmp(devtype, "usb_device") == 0) {
        if (act == "add" || act == "remove") {
            return DeviceWatcher::DevNodesChanged;
        }
        return DeviceWatcher::OtherChange;
    }
    if (qstrcmp(subsystem, "block") == 0 && qstrcmp(devtype, "disk") == 0) {
        if (act == "add") {
            return DeviceWatcher::DeviceArrival;
        }
        if (act == "remove") {
            return DeviceWatcher::DeviceRemoveComplete;
        }
        if (act == "change") {
            // A card reader keeps its disk; inserting or pulling the card changes
            // the disk's size between zero and the card's.
            const char *size = udev_device_get_sysattr_value(dev, "size");
            bool ok = false;
            qulonglong sectors = size ? QByteArray(size).trimmed().toULongLong(&ok) : 0;
            return (ok && sectors > 0) ? DeviceWatcher::DeviceArrival
                                       : DeviceWatcher::DeviceRemoveComplete;
        }
    }
    return DeviceWatcher::OtherChange;
}

}  // namespace

DeviceWatcher::DeviceWatcher(QObject *parent) : QObject(parent), d(new Private) {
    d->udev = udev_new();
    if (!d->udev) {
        qWarning() << "Device watcher: udev is not available";
        return;
    }
    // Without a udev daemon nobody republishes the kernel's events on the udev group.
    d->source = QFile::exists("/run/udev/control") ? "udev" : "kernel";
    d->monitor = udev_monitor_new_from_netlink(d->udev, d->source.toLatin1().constData());
    if (!d->monitor) {
        qWarning() << "Device watcher: cannot open the" << d->source << "monitor";
        return;
    }
    udev_monitor_filter_add_match_subsystem_devtype(d->monitor, "usb", "usb_device");
    udev_monitor_filter_add_match_subsystem_devtype(d->monitor, "block", "disk");
    if (udev_monitor_enable_receiving(d->monitor) < 0) {
        qWarning() << "Device watcher: cannot receive device events";
        udev_monitor_unref(d->monitor);
        d->monitor = nullptr;
        return;
    }
    d->notifier = new QSocketNotifier(udev_monitor_get_fd(d->monitor), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] {
        // Drain everything that is queued: one wake-up may stand for several events.
        while (struct udev_device *dev = udev_monitor_receive_device(d->monitor)) {
            int code = changeCode(dev);
            udev_device_unref(dev);
            emit deviceChanged(code);
        }
    });
}

DeviceWatcher::~DeviceWatcher() {
    delete d->notifier;
    if (d->monitor) {
        udev_monitor_unref(d->monitor);
    }
    if (d->udev) {
        udev_unref(d->udev);
    }
    delete d;
}

bool DeviceWatcher::isActive() const {
    return d->monitor != nullptr;
}

QString DeviceWatcher::source() const {
    return d->source;
}

bool DeviceWatcher::nativeEvent(const QByteArray &, void *) {
    // Changes arrive through the udev monitor, not as window messages.
    return false;
}
