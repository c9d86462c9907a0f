// Linux side of the USB device layer.
#include <unistd.h>

#include "kelupg_internal.h"

bool upg_usb_udev_daemon_running(void) {
    // udevd's control socket (systemd holds it open for the daemon); the
    // device watcher goes by the same sign.
    return access("/run/udev/control", F_OK) == 0;
}
