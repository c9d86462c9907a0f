// Serial-port listing against an emulated udev/sysfs: two USB-serial adapters
// and a board's on-chip UART.
#include <gtest/gtest.h>
#include <umockdev.h>

#include "kellinkerserial.h"
#include "kellinkerusb.h"

namespace {

void addTty(UMockdevTestbed *tb, const char *parentName, const char *tty) {
    gchar *parent = umockdev_testbed_add_device(tb, "usb", parentName, nullptr, "idVendor", "0403",
                                                "idProduct", "6001", nullptr, "ID_VENDOR_ID",
                                                "0403", "ID_MODEL_ID", "6001", nullptr);
    ASSERT_NE(parent, nullptr);
    const QByteArray dev = QByteArray("/dev/") + tty;
    gchar *child = umockdev_testbed_add_device(tb, "tty", tty, parent, nullptr, "DEVNAME",
                                               dev.constData(), nullptr);
    ASSERT_NE(child, nullptr);
    g_free(child);
    g_free(parent);
}

}  // namespace

TEST(SerialList, ListsThePortsTheSystemReports) {
    UMockdevTestbed *tb = umockdev_testbed_new();
    ASSERT_NE(tb, nullptr);
    KelLinkerSerial serial;
    addTty(tb, "usb-ser-a", "ttyUSB0");
    addTty(tb, "usb-ser-b", "ttyUSB1");
    QStringList ports = serial.listDevices();
    ports.sort();
    EXPECT_EQ(ports, (QStringList{"ttyUSB0", "ttyUSB1"}));

    // The USB link sees none of them: they are no upgrade devices.
    KelLinkerUSB usb;
    EXPECT_TRUE(usb.listDevices().isEmpty());
    g_object_unref(tb);
}
