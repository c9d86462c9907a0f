// Link objects without a board: the factory, the defaults of the unsupported
// network link, device-identifier parsing and steps on a link with no device.
#include <QSignalSpy>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

#include "devinfothread.h"
#include "kellinkernetwork.h"
#include "kellinkerserial.h"
#include "kellinkerusb.h"
#include "linkfactory.h"
#include "msg_capture.h"

TEST(LinkFactory, CreatesOneLinkPerKnownType) {
    std::unique_ptr<KelLinker> usb(LinkFactory::createLinker(0));
    std::unique_ptr<KelLinker> serial(LinkFactory::createLinker(1));
    std::unique_ptr<KelLinker> net(LinkFactory::createLinker(2));
    EXPECT_NE(qobject_cast<KelLinkerUSB *>(usb.get()), nullptr);
    EXPECT_NE(qobject_cast<KelLinkerSerial *>(serial.get()), nullptr);
    EXPECT_NE(qobject_cast<KelLinkerNetwork *>(net.get()), nullptr);
    EXPECT_EQ(LinkFactory::createLinker(3), nullptr);
    EXPECT_EQ(LinkFactory::createLinker(-1), nullptr);
}

namespace {

// Index of a virtual operation in its class's table (Itanium C++ ABI: a
// pointer to a virtual member holds 1 + the byte offset of its slot).
template <class F>
long slotOf(F f) {
    struct {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof(F) == sizeof(rep), "Itanium member-pointer layout");
    memcpy(&rep, &f, sizeof(rep));
    return (rep.ptr & 1) ? long((rep.ptr - 1) / sizeof(void *)) : -1;
}

}  // namespace

// Every kind of link is driven through the base's operations, so each
// subclass overrides them in place: right behind QObject's, in this order.
TEST(LinkInterface, VirtualOperationsKeepTheirSlots) {
    const long order[] = {
        slotOf(&KelLinker::name),
        slotOf(&KelLinker::clearName),
        slotOf(&KelLinker::fetchDeviceInfo),
        slotOf(&KelLinker::probePacketSize),
        slotOf(&KelLinker::isLargePacket),
        slotOf(&KelLinker::blockSize),
        slotOf(&KelLinker::deviceInfo),
        slotOf(&KelLinker::deviceNameText),
        slotOf(&KelLinker::link),
        slotOf(&KelLinker::unlink),
        slotOf(&KelLinker::sendData),
        slotOf(&KelLinker::sendMetaHead),
        slotOf(&KelLinker::metaEnd),
        slotOf(&KelLinker::waitReconnect),
        slotOf(&KelLinker::resetDevice),
        slotOf(&KelLinker::release),
        slotOf(&KelLinker::listDevices),
        slotOf(&KelLinker::setWorkMode),
        slotOf(&KelLinker::lastError),
    };
    EXPECT_GT(order[0], slotOf(&QObject::eventFilter));
    for (size_t i = 1; i < sizeof(order) / sizeof(order[0]); ++i)
        EXPECT_EQ(order[i], order[0] + long(i)) << "operation #" << i + 1;
    // The subclasses override in place.
    EXPECT_EQ(slotOf(&KelLinkerUSB::lastError), order[18]);
    EXPECT_EQ(slotOf(&KelLinkerSerial::listDevices), order[16]);
}

TEST(LinkNetwork, AnswersWithTheBaseDefaults) {
    KelLinkerNetwork net;
    EXPECT_TRUE(net.fetchDeviceInfo("10.0.0.2", true));
    EXPECT_EQ(net.name(), "10.0.0.2");
    net.clearName();
    EXPECT_TRUE(net.name().isEmpty());
    EXPECT_FALSE(net.isLinked());
    EXPECT_FALSE(net.isSerialLine());
    EXPECT_FALSE(net.lineConnected());
    EXPECT_FALSE(net.probePacketSize());
    EXPECT_FALSE(net.isLargePacket());
    EXPECT_EQ(net.blockSize(), 0);
    EXPECT_TRUE(net.deviceInfo().isEmpty());
    EXPECT_EQ(net.deviceNameText(), nullptr);
    EXPECT_FALSE(net.link());
    EXPECT_FALSE(net.unlink());
    EXPECT_TRUE(net.listDevices().isEmpty());
    EXPECT_FALSE(net.setWorkMode(4));
    EXPECT_EQ(net.lastError(), 0);
}

TEST(LinkSteps, FailSilentlyWithoutADevice) {
    MsgCapture msgs;
    KelLinkerUSB usb;
    FwcMeta meta{};
    uint32_t results[3] = {7, 8, 9};
    char data[16] = {};
    EXPECT_FALSE(usb.sendMetaHead(meta));
    EXPECT_FALSE(usb.sendData(data, sizeof(data)));
    EXPECT_FALSE(usb.metaEnd(meta, results));
    EXPECT_FALSE(usb.resetDevice());
    EXPECT_FALSE(usb.setWorkMode(4));
    EXPECT_FALSE(usb.isLargePacket());
    EXPECT_EQ(usb.lastError(), 0);
    EXPECT_EQ(results[0], 7u);
    EXPECT_FALSE(msgs.contains("Dev"));

    // waitReconnect names itself, then gives up at once.
    EXPECT_FALSE(usb.waitReconnect());
    EXPECT_TRUE(msgs.contains("Wait to reconnect dev"));
    EXPECT_FALSE(msgs.contains("lost!"));
}

TEST(LinkUsb, ParsesTheDeviceIdentifier) {
    MsgCapture msgs;
    KelLinkerUSB usb;

    // Well-formed: bus and port path are taken even when no board is there.
    EXPECT_FALSE(usb.fetchDeviceInfo("1:2-3", false));
    EXPECT_EQ(usb.busNumber(), 1);
    const uint8_t want[7] = {2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(usb.portPath(), want, 7), 0);
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Open Usb device failed!"));
    EXPECT_TRUE(usb.name().isEmpty());

    msgs.clear();
    EXPECT_FALSE(usb.fetchDeviceInfo("1-2-3", false));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Usb devStr invalid!"));
    EXPECT_FALSE(usb.fetchDeviceInfo("1:2:3", false));
    EXPECT_EQ(msgs.count("Usb devStr invalid!"), 2);

    msgs.clear();
    EXPECT_FALSE(usb.fetchDeviceInfo("x:1", false));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Usb busnum invalid!"));
    EXPECT_FALSE(usb.fetchDeviceInfo("256:1", false));
    EXPECT_EQ(msgs.count("Usb busnum invalid!"), 2);

    msgs.clear();
    EXPECT_FALSE(usb.fetchDeviceInfo("1:2-a", false));
    EXPECT_FALSE(usb.fetchDeviceInfo("1:", false));
    EXPECT_FALSE(usb.fetchDeviceInfo("1:1-2-3-4-5-6-7-8", false));
    EXPECT_EQ(msgs.count("Usb port invalid!"), 3);
    EXPECT_FALSE(msgs.contains("Open Usb device failed!"));
    // A refused identifier leaves the previous place untouched.
    EXPECT_EQ(memcmp(usb.portPath(), want, 7), 0);
}

TEST(LinkRelease, ReleasesOnceAndSignals) {
    MsgCapture msgs;
    {
        KelLinkerUSB usb;
        QSignalSpy spy(&usb, &KelLinker::releaseFinish);
        usb.release();
        EXPECT_EQ(spy.count(), 1);
    }
    // The destructor does not release a second time.
    EXPECT_EQ(msgs.count("Release usb resource"), 1);
    { KelLinkerSerial serial; }
    EXPECT_EQ(msgs.count("Release Serial resource"), 1);
}

TEST(DevInfoThread, ReportsTheQueryOutcome) {
    KelLinkerNetwork net;
    DevInfoThread thread(&net, "dev0", 0);
    QSignalSpy spy(&thread, &DevInfoThread::linkFinished);
    thread.start();
    ASSERT_TRUE(thread.wait(10000));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());
    EXPECT_EQ(net.name(), "dev0");

    MsgCapture msgs;
    KelLinkerUSB usb;
    DevInfoThread bad(&usb, "bogus", 1);
    QSignalSpy spyBad(&bad, &DevInfoThread::linkFinished);
    bad.start();
    ASSERT_TRUE(bad.wait(10000));
    ASSERT_EQ(spyBad.count(), 1);
    EXPECT_FALSE(spyBad.at(0).at(0).toBool());
}
