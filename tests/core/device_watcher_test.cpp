// Device changes seen through libudev in a umockdev testbed (the test runs under
// umockdev-wrapper, whose preload library carries the testbed's uevents to the
// watcher's netlink monitor).
#include <umockdev.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "devicewatcher.h"
#include "fake_tab.h"
#include "kelflash.h"
#include "settings.h"

namespace {

class Testbed : public ::testing::Test {
protected:
    void SetUp() override {
        bed = umockdev_testbed_new();
        ASSERT_TRUE(umockdev_in_mock_environment()) << "run under umockdev-wrapper";
    }
    void TearDown() override {
        if (bed) {
            g_object_unref(bed);
        }
    }

    QString addUsbDevice(const char *name) {
        gchar *path = umockdev_testbed_add_device(
            bed, "usb", name, nullptr, "idVendor", "33c3", "idProduct", "6677", "busnum", "1",
            "devnum", "5", nullptr, "DEVTYPE", "usb_device", "PRODUCT", "33c3/6677/100", nullptr);
        QString result = QString::fromUtf8(path);
        g_free(path);
        return result;
    }

    QString addDisk(const char *name, const char *sectors) {
        gchar *path =
            umockdev_testbed_add_device(bed, "block", name, nullptr, "size", sectors, "removable",
                                        "1", nullptr, "DEVTYPE", "disk", nullptr);
        QString result = QString::fromUtf8(path);
        g_free(path);
        return result;
    }

    void uevent(const QString &path, const char *action) {
        umockdev_testbed_uevent(bed, path.toUtf8().constData(), action);
    }

    UMockdevTestbed *bed = nullptr;
};

// Waits until the spy has seen `code`, and returns whether it did.
bool sawCode(QSignalSpy &spy, int code) {
    auto seen = [&] {
        for (const auto &args : spy) {
            if (args.at(0).toInt() == code) {
                return true;
            }
        }
        return false;
    };
    return QTest::qWaitFor(seen, 10000);
}

}  // namespace

TEST_F(Testbed, WatcherMapsUsbAndDiskEvents) {
    DeviceWatcher watcher;
    ASSERT_TRUE(watcher.isActive());
    QSignalSpy spy(&watcher, &DeviceWatcher::deviceChanged);

    QString usb = addUsbDevice("1-1");
    uevent(usb, "add");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DevNodesChanged));
    spy.clear();
    uevent(usb, "remove");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DevNodesChanged));

    spy.clear();
    QString disk = addDisk("sdb", "31116288");
    uevent(disk, "add");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DeviceArrival));
    spy.clear();
    uevent(disk, "remove");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DeviceRemoveComplete));

    // A card reader without its card reports a zero-sized disk on change.
    spy.clear();
    QString reader = addDisk("sdc", "0");
    uevent(reader, "change");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DeviceRemoveComplete));
    spy.clear();
    umockdev_testbed_set_attribute(bed, reader.toUtf8().constData(), "size", "62333952");
    uevent(reader, "change");
    EXPECT_TRUE(sawCode(spy, DeviceWatcher::DeviceArrival));
}

TEST_F(Testbed, WindowRescansTheCurrentPage) {
    Settings::instance().setImagePath(QString());
    FakeTab *burn = new FakeTab;
    FakeTab *card = new FakeTab;
    KelFlash window(burn, card);
    auto *tabs = window.findChild<QTabWidget *>("tabWidget");

    QString usb = addUsbDevice("1-2");
    uevent(usb, "add");
    EXPECT_TRUE(QTest::qWaitFor([&] { return burn->scans >= 1; }, 10000));
    QString disk = addDisk("sdd", "31116288");
    uevent(disk, "add");
    // Give the disk event time to arrive: it must not reach the card page.
    QTest::qWait(300);
    EXPECT_EQ(card->scans, 0);

    tabs->setCurrentIndex(1);
    int cardScans = card->scans;
    int burnScans = burn->scans;
    uevent(disk, "remove");
    EXPECT_TRUE(QTest::qWaitFor([&] { return card->scans > cardScans; }, 10000));
    uevent(usb, "remove");
    QTest::qWait(300);
    EXPECT_EQ(burn->scans, burnScans);
}
