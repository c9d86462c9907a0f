// The burn tab's controls, partition list and serial/network connection types,
// against a simulated board on a pty for the serial line.
#include <QApplication>
#include <QListWidget>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

#include "board.h"
#include "burntab.h"
#include "extraserialports.h"
#include "imagefile.h"
#include "kelcheckbox.h"
#include "kelcombobox.h"
#include "keldialog.h"
#include "kellinkernetwork.h"
#include "kellinkerserial.h"
#include "serial_line.h"
#include "settings.h"
#include "tab_test_util.h"

using namespace tabtest;

namespace {

// A serial link whose port list is given by the test: the system's enumeration
// cannot report a pty, everything else is the real link.
class ListedSerialLinker : public KelLinkerSerial {
public:
    explicit ListedSerialLinker(QStringList ports) : ports(std::move(ports)) {}
    QStringList listDevices() override { return ports; }

private:
    QStringList ports;
};

class SerialTab : public BurnTab {
public:
    QStringList ports;
    // The real link's list: the system's ports and the named extra ones.
    bool systemList = false;

protected:
    KelLinker *createLinker(int type) override {
        if (type == 1 && !systemList) {
            return new ListedSerialLinker(ports);
        }
        return BurnTab::createLinker(type);
    }
};

void click(KelCheckBox *box) {
    QLabel *indicator = box->findChild<QLabel *>("kel_checkbox_indicator");
    ASSERT_NE(indicator, nullptr);
    QTest::mouseClick(indicator, Qt::LeftButton);
}

QWidget *findAlert(const QString &text) {
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (!qobject_cast<KelDialog *>(w) || !w->isVisible()) {
            continue;
        }
        for (QLabel *label : w->findChildren<QLabel *>()) {
            if (label->text().contains(text)) {
                return w;
            }
        }
    }
    return nullptr;
}

class BurnTabOptions : public ::testing::Test {
protected:
    void SetUp() override {
        adb = std::make_unique<FakeAdb>();
        Settings::instance().setSelectedParts(QString());
        tab = std::make_unique<SerialTab>();
        tab->show();
    }
    void TearDown() override {
        tab.reset();
        adb.reset();
    }

    template <typename T>
    T *child(const char *name) {
        T *w = tab->findChild<T *>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // Rows of the partition list: name -> (checked, size text).
    QList<QPair<QString, bool>> rows() {
        QList<QPair<QString, bool>> out;
        QListWidget *list = child<QListWidget>("partList");
        for (int i = 0; i < list->count(); ++i) {
            auto *box = list->itemWidget(list->item(i))->findChild<KelCheckBox *>();
            out.append({box->text(), box->isChecked()});
        }
        return out;
    }
    KelCheckBox *rowBox(int i) {
        QListWidget *list = child<QListWidget>("partList");
        return list->itemWidget(list->item(i))->findChild<KelCheckBox *>();
    }

    void loadImage() {
        writeImage(spec({component("image.updater.env", "env", pattern(100, 1)),
                         component("image.target.spl", "spl", pattern(1536, 2)),
                         component("image.target.uboot", "uboot", pattern(3000, 3)),
                         component("image.info", "info", pattern(10, 4), ""),
                         component("image.target.rootfs", "rootfs", pattern(3 << 20, 5))}),
                   "parts.img");
        image = std::make_unique<ImageFile>();
        image->setPath("parts.img");
        ASSERT_EQ(image->loadHeader(), 0);
        tab->setImage(image.get());
    }

    std::unique_ptr<FakeAdb> adb;
    std::unique_ptr<SerialTab> tab;
    std::unique_ptr<ImageFile> image;
};

}  // namespace

TEST_F(BurnTabOptions, StartsWithTheDocumentedControls) {
    auto *typeBox = child<KelComboBox>("typeBox");
    ASSERT_EQ(typeBox->count(), 2);
    EXPECT_EQ(typeBox->itemText(0), "USB");
    EXPECT_EQ(typeBox->itemText(1), "串口");
    EXPECT_TRUE(child<KelComboBox>("portBox")->isHidden());
    EXPECT_FALSE(child<KelCheckBox>("forceBox")->isChecked());
    EXPECT_EQ(child<KelCheckBox>("forceBox")->text(), "强制升级");
    EXPECT_TRUE(child<KelCheckBox>("rebootBox")->isChecked());
    EXPECT_EQ(child<KelCheckBox>("rebootBox")->text(), "烧写成功后重启设备");
    EXPECT_FALSE(child<KelCheckBox>("partitionBox")->isChecked());
    EXPECT_TRUE(child<QWidget>("partitionPanel")->isHidden());
    EXPECT_EQ(child<QLabel>("devIcon")->size(), QSize(178, 125));
    EXPECT_TRUE(child<QLabel>("imageInfo")->wordWrap());
    EXPECT_FALSE(tab->isReady());
    // No link exists until the window applies the connection type.
    EXPECT_EQ(tab->currentLinker(), nullptr);
    EXPECT_FALSE(tab->startWork()) << "nothing to burn with";
}

TEST_F(BurnTabOptions, ForceUnchecksAndLocksReboot) {
    auto *force = child<KelCheckBox>("forceBox");
    auto *reboot = child<KelCheckBox>("rebootBox");
    click(force);
    EXPECT_TRUE(force->isChecked());
    EXPECT_FALSE(reboot->isChecked());
    EXPECT_FALSE(reboot->isEnabled());
    click(reboot);  // disabled: no change
    EXPECT_FALSE(reboot->isChecked());
    click(force);
    EXPECT_TRUE(reboot->isChecked());
    EXPECT_TRUE(reboot->isEnabled());

    auto *partition = child<KelCheckBox>("partitionBox");
    auto *panel = child<QWidget>("partitionPanel");
    click(partition);
    EXPECT_TRUE(panel->isVisible());
    click(partition);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(BurnTabOptions, PartitionRowsFollowTheStoredSelection) {
    Settings::instance().setSelectedParts("uboot,rootfs");
    loadImage();
    tab->refreshPartitionTree();
    using Rows = QList<QPair<QString, bool>>;
    EXPECT_EQ(rows(), (Rows{{"spl", false}, {"uboot", true}, {"rootfs", true}}));
    EXPECT_FALSE(child<KelCheckBox>("selectAllBox")->isChecked());
    // The size beside each name.
    QListWidget *list = child<QListWidget>("partList");
    QStringList sizes;
    for (int i = 0; i < list->count(); ++i) {
        QWidget *row = list->itemWidget(list->item(i));
        auto labels = row->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
        ASSERT_EQ(labels.size(), 1);
        sizes << labels[0]->text();
    }
    EXPECT_EQ(sizes, (QStringList{"1.5 KB", "2.9 KB", "3 MB"}));

    // Checking the last row stores every name in list order and checks "all".
    click(rowBox(0));
    EXPECT_EQ(Settings::instance().selectedParts(), "spl,uboot,rootfs");
    EXPECT_TRUE(child<KelCheckBox>("selectAllBox")->isChecked());
    click(rowBox(1));
    EXPECT_EQ(Settings::instance().selectedParts(), "spl,rootfs");
    EXPECT_FALSE(child<KelCheckBox>("selectAllBox")->isChecked());

    // A refresh reads the stored selection back.
    tab->refreshPartitionTree();
    EXPECT_EQ(rows(), (Rows{{"spl", true}, {"uboot", false}, {"rootfs", true}}));

    // "All" then cleared: the stored selection is empty, so a refresh checks all.
    click(child<KelCheckBox>("selectAllBox"));
    EXPECT_EQ(rows(), (Rows{{"spl", true}, {"uboot", true}, {"rootfs", true}}));
    click(child<KelCheckBox>("selectAllBox"));
    EXPECT_EQ(rows(), (Rows{{"spl", false}, {"uboot", false}, {"rootfs", false}}));
    EXPECT_EQ(Settings::instance().selectedParts(), "");
    tab->refreshPartitionTree();
    EXPECT_EQ(rows(), (Rows{{"spl", true}, {"uboot", true}, {"rootfs", true}}));
    EXPECT_TRUE(child<KelCheckBox>("selectAllBox")->isChecked());

    // The choice is in the settings file for the next start.
    click(rowBox(2));
    QSettings file("KelFlash.ini", QSettings::IniFormat);
    EXPECT_EQ(file.value("/common/selected_parts").toString(), "spl,uboot");

    // Without an image the list is empty.
    tab->setImage(nullptr);
    tab->refreshPartitionTree();
    EXPECT_EQ(list->count(), 0);
}

TEST_F(BurnTabOptions, StoredSelectionMatchesWholeNamesOnly) {
    Settings::instance().setSelectedParts("root,,UBOOT");
    loadImage();
    tab->refreshPartitionTree();
    using Rows = QList<QPair<QString, bool>>;
    EXPECT_EQ(rows(), (Rows{{"spl", false}, {"uboot", false}, {"rootfs", false}}));
}

TEST_F(BurnTabOptions, SerialTypeListsPortsAndLinksTheBoard) {
    kelsim::Board board;
    kelsim::SerialLine line(board);
    std::string err;
    ASSERT_TRUE(line.start(&err)) << err;
    const QString port = QString::fromStdString(line.slavePath());
    tab->ports = QStringList{port};

    Messages msgs;
    tab->reapplyConnectType();
    QSignalSpy ready(tab.get(), &BurnTab::deviceReady);
    child<KelComboBox>("typeBox")->setCurrentIndex(1);
    ASSERT_TRUE(dynamic_cast<KelLinkerSerial *>(tab->currentLinker()));
    auto *portBox = child<KelComboBox>("portBox");
    EXPECT_FALSE(portBox->isHidden());
    EXPECT_EQ(portBox->currentText(), port);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Current serial dev: \"" + port + "\""));
    EXPECT_EQ(findAlert("无法打开串口"), nullptr) << "the port opens";

    tab->scanDevices();
    ASSERT_TRUE(waitFor([&] { return ready.count() > 0; })) << msgs.all().toStdString();
    EXPECT_TRUE(ready.last().at(0).toBool());
    EXPECT_TRUE(tab->isReady());
    EXPECT_TRUE(child<QLabel>("imageInfo")->text().startsWith("UART设备：" + port));
    EXPECT_EQ(tab->message(), "Kelvora设备已连接");
    line.stop();
}

TEST_F(BurnTabOptions, ChosenPortIsOnlyProbedTheScanLinksTheFirst) {
    kelsim::Board first, second;
    kelsim::SerialLine lineA(first), lineB(second);
    std::string err;
    ASSERT_TRUE(lineA.start(&err)) << err;
    ASSERT_TRUE(lineB.start(&err)) << err;
    const QString portA = QString::fromStdString(lineA.slavePath());
    const QString portB = QString::fromStdString(lineB.slavePath());
    tab->ports = QStringList{portA, portB};

    tab->reapplyConnectType();
    child<KelComboBox>("typeBox")->setCurrentIndex(1);
    child<KelComboBox>("portBox")->setCurrentIndex(1);
    EXPECT_EQ(findAlert("无法打开串口"), nullptr);
    QSignalSpy ready(tab.get(), &BurnTab::deviceReady);
    tab->scanDevices();
    ASSERT_TRUE(waitFor([&] { return ready.count() > 0; }));
    EXPECT_TRUE(tab->isReady());
    EXPECT_EQ(tab->currentLinker()->name(), portA);
    EXPECT_TRUE(child<QLabel>("imageInfo")->text().startsWith("UART设备：" + portA));

    // Another choice unlinks but keeps the named board; a scan asks nothing new.
    child<KelComboBox>("portBox")->setCurrentIndex(0);
    child<KelComboBox>("portBox")->setCurrentIndex(1);
    EXPECT_EQ(tab->currentLinker()->name(), portA);
    EXPECT_TRUE(tab->isReady());
    tab->scanDevices();
    EXPECT_FALSE(tab->isQuerying());
    lineA.stop();
    lineB.stop();
}

TEST_F(BurnTabOptions, PortThatCannotBeOpenedIsReported) {
    tab->ports = QStringList{"/nonexistent/ttyKEL9"};
    Messages msgs;
    tab->reapplyConnectType();
    child<KelComboBox>("typeBox")->setCurrentIndex(1);
    const QString text = "无法打开串口 /nonexistent/ttyKEL9，请确认是否被其他程序占用";
    QWidget *alert = findAlert(text);
    ASSERT_NE(alert, nullptr);
    EXPECT_FALSE(alert->isModal());
    EXPECT_TRUE(msgs.contains(QtDebugMsg, text));
    alert->close();

    // Clearing the list runs the handler with an empty port, which only logs.
    child<KelComboBox>("portBox")->clear();
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "Current serial dev: \"\""));
}

TEST_F(BurnTabOptions, NoSerialPortsLeavesThePortBoxAloneAndSaysSo) {
    tab->ports = QStringList();
    tab->reapplyConnectType();
    child<KelComboBox>("typeBox")->setCurrentIndex(1);
    EXPECT_TRUE(child<KelComboBox>("portBox")->isHidden());
    EXPECT_EQ(tab->message(), "未发现串口");
}

// A simulator's pty (or a bridged port) the system does not list, named in the
// environment or the settings: offered before the system's ports and linked.
TEST_F(BurnTabOptions, NamedExtraPortsAreOfferedFirstAndLinked) {
    kelsim::Board board;
    kelsim::SerialLine line(board);
    std::string err;
    ASSERT_TRUE(line.start(&err)) << err;
    const QString pty = QString::fromStdString(line.slavePath());
    const QString link = QDir::current().absoluteFilePath("board-port");
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(pty, link));
    QFile plain("plain-file");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    struct Forget {
        ~Forget() {
            qunsetenv(kExtraSerialPortsVariable);
            Settings::instance().setValue("serial", "extra_ports", QString());
        }
    } forget;
    // Missing and plain-file paths are left out; the link in the settings is the
    // same device as the pty and is listed once.
    qputenv(kExtraSerialPortsVariable, ("/nonexistent/ttyKEL9 " + pty + ",plain-file").toLocal8Bit());
    Settings::instance().setValue("serial", "extra_ports", link);
    Messages msgs;
    tab->systemList = true;
    tab->reapplyConnectType();
    child<KelComboBox>("typeBox")->setCurrentIndex(1);
    auto *portBox = child<KelComboBox>("portBox");
    ASSERT_FALSE(portBox->isHidden());
    EXPECT_EQ(portBox->itemText(0), pty);
    for (const QString &other : {link, QString("plain-file"), QString("/nonexistent/ttyKEL9")}) {
        EXPECT_EQ(portBox->findText(other), -1) << other.toStdString();
    }
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Extra serial port /nonexistent/ttyKEL9 does not exist"));
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Extra serial port plain-file is no device"));

    QSignalSpy ready(tab.get(), &BurnTab::deviceReady);
    tab->scanDevices();
    ASSERT_TRUE(waitFor([&] { return ready.count() > 0; })) << msgs.all().toStdString();
    EXPECT_TRUE(tab->isReady());
    EXPECT_TRUE(child<QLabel>("imageInfo")->text().startsWith("UART设备：" + pty));

    // The setting alone.
    qunsetenv(kExtraSerialPortsVariable);
    EXPECT_EQ(withExtraSerialPorts({}), QStringList{link});
    tab.reset();
    line.stop();
}

TEST_F(BurnTabOptions, NetworkTypeIsRefused) {
    Messages msgs;
    tab->onConnectTypeChanged(0, 2);
    EXPECT_TRUE(msgs.contains(QtWarningMsg, "Unsupport network now!"));
    EXPECT_TRUE(dynamic_cast<KelLinkerNetwork *>(tab->currentLinker()));
    QSignalSpy ready(tab.get(), &BurnTab::deviceReady);
    tab->scanDevices();
    ASSERT_EQ(ready.count(), 1);
    EXPECT_FALSE(ready.at(0).at(0).toBool());
    EXPECT_EQ(tab->message(), "未发现Kelvora设备");
}
