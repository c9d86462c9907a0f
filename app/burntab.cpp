#include "burntab.h"

#include <QDebug>
#include <QEvent>
#include <QHBoxLayout>
#include <QListWidget>
#include <QSerialPort>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>

#include "burnsession.h"
#include "fleetsettings.h"
#include "jobrecords.h"
#include "checkthread.h"
#include "devinfothread.h"
#include "failurecause.h"
#include "imagefile.h"
#include "kelcheckbox.h"
#include "kelcombobox.h"
#include "keldialog.h"
#include "kellinker.h"
#include "linkfactory.h"
#include "settings.h"
#include "statisticstore.h"
#include "uiformat.h"

namespace {

constexpr int kFillFull = 78;
// A board that has just appeared may not be listed yet when its device event
// arrives (its interface is still being set up); a scan that finds nothing is
// repeated this often, this far apart.
constexpr int kEmptyScanRetries = 4;
constexpr int kEmptyScanRetryMs = 750;
// A partition name must fit the selection entry with its terminating NUL.
constexpr int kMaxPartName = static_cast<int>(sizeof(PartitionSelection::name)) - 1;
// The dots behind a wait text turn this often: the job is alive, only waiting.
constexpr int kBusyTickMs = 400;

const char *const kUbootNote =
    QT_TRANSLATE_NOOP("BurnTab", "设备处于U-Boot阶段，请勾选“强制升级”或将设备重启到BROM后再烧写");

// The text behind the last "." of a component name; a name without a dot is its
// own partition name.
QString partitionNameOf(const QString &componentName) {
    const int dot = componentName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? componentName : componentName.mid(dot + 1);
}

QString fixedLatin1(const char *text, size_t capacity) {
    return QString::fromLatin1(text, static_cast<int>(strnlen(text, capacity)));
}

const char *boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

BurnTab::BurnTab(QWidget *parent) : KelTab(parent) {
    buildLayout();

    connect(typeBox, &KelComboBox::indexChanged, this, &BurnTab::onConnectTypeChanged);
    connect(portBox, &KelComboBox::indexChanged, this, &BurnTab::onPortChanged);
    connect(forceBox, &KelCheckBox::clicked, this, &BurnTab::onForceClicked);
    connect(partitionBox, &KelCheckBox::clicked, this, &BurnTab::onPartitionModeClicked);
    connect(selectAllBox, &KelCheckBox::clicked, this, &BurnTab::onSelectAllClicked);

    followUpTimer = new QTimer(this);
    followUpTimer->setSingleShot(true);
    connect(followUpTimer, &QTimer::timeout, this, &BurnTab::followUpScan);

    // Started once the page has been drawn (see event()): its first adb call may
    // start an adb server, which must not hold up the window's first frame.
    checkThread = new CheckThread();
    connect(checkThread, &CheckThread::adbDeviceFound, this, &BurnTab::onAdbDeviceFound);
    connect(checkThread, &CheckThread::adbDeviceAbsent, this, &BurnTab::onAdbDeviceAbsent);

    busyTimer = new QTimer(this);
    busyTimer->setInterval(kBusyTickMs);
    connect(busyTimer, &QTimer::timeout, this, [this] {
        ++busyStep;
        refreshMessage();
    });
}

BurnTab::~BurnTab() {
    checkThread->stop();
    delete checkThread;
    checkThread = nullptr;

    // The job and the queries use the link from their threads: they end first.
    adoptWorker(nullptr);
    delete session;
    session = nullptr;
    for (DevInfoThread *query : infoThreads) {
        query->wait();
        delete query;
    }
    infoThreads.clear();
    infoThread = nullptr;
    delete linker;
    linker = nullptr;

    for (const RetiredLink &retired : retiring) {
        if (retired.helper) {
            retired.helper->wait();
            delete retired.helper.data();
        }
        delete retired.query;
    }
}

void BurnTab::buildLayout() {
    auto *typeLabel = new QLabel(tr("连接方式："), this);
    typeBox = new KelComboBox(this);
    typeBox->setObjectName("typeBox");
    typeBox->addItem("USB");
    typeBox->addItem(tr("串口"));
    portBox = new KelComboBox(this);
    portBox->setObjectName("portBox");
    portBox->hide();

    forceBox = new KelCheckBox(tr("强制升级"), this);
    forceBox->setObjectName("forceBox");
    forceBox->setSpacing(3);
    rebootBox = new KelCheckBox(tr("烧写成功后重启设备"), this);
    rebootBox->setObjectName("rebootBox");
    rebootBox->setChecked(true);
    partitionBox = new KelCheckBox(tr("按分区烧写"), this);
    partitionBox->setObjectName("partitionBox");
    partitionBox->setSpacing(3);

    auto *optionsRow = new QHBoxLayout;
    optionsRow->setContentsMargins(0, 0, 0, 0);
    optionsRow->setSpacing(5);
    optionsRow->addWidget(typeLabel);
    optionsRow->addWidget(typeBox);
    optionsRow->addWidget(portBox);
    optionsRow->addStretch();
    optionsRow->addWidget(forceBox);
    optionsRow->addSpacing(15);
    optionsRow->addWidget(rebootBox);
    optionsRow->addSpacing(15);
    optionsRow->addWidget(partitionBox);

    devIcon = new QLabel(this);
    devIcon->setObjectName("devIcon");
    devIcon->setFixedSize(178, 125);
    auto *iconLayout = new QVBoxLayout(devIcon);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->setSpacing(0);
    iconLayout->addWidget(progressBox, 0, Qt::AlignCenter);

    auto *separator = new QWidget(this);
    separator->setFixedWidth(1);
    separator->setAttribute(Qt::WA_StyledBackground);
    separator->setStyleSheet("border: 1px dashed #999;");

    infoLabel = new QLabel(this);
    infoLabel->setObjectName("imageInfo");
    infoLabel->setWordWrap(true);

    partitionPanel = new QWidget(this);
    partitionPanel->setObjectName("partitionPanel");
    partitionPanel->setFixedWidth(160);
    partList = new QListWidget(partitionPanel);
    partList->setObjectName("partList");
    selectAllBox = new KelCheckBox(tr("全选"), partitionPanel);
    selectAllBox->setObjectName("selectAllBox");
    auto *panelLayout = new QVBoxLayout(partitionPanel);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->setSpacing(3);
    panelLayout->addWidget(partList, 1);
    panelLayout->addWidget(selectAllBox, 0, Qt::AlignLeft);
    partitionPanel->hide();

    auto *boardRow = new QHBoxLayout;
    boardRow->setContentsMargins(0, 0, 0, 0);
    boardRow->setSpacing(20);
    boardRow->addWidget(devIcon);
    boardRow->addWidget(separator);
    boardRow->addWidget(infoLabel);
    boardRow->addStretch();
    boardRow->addWidget(partitionPanel);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(10);
    layout->addLayout(optionsRow);
    layout->addLayout(boardRow, 1);
    layout->addWidget(messageLine, 0, Qt::AlignRight);
    // A second line (what the job waits for, why it failed) keeps to the right
    // edge as the first does.
    messageLine->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

bool BurnTab::event(QEvent *event) {
    if (event->type() == QEvent::Paint && !checkThreadStarting) {
        checkThreadStarting = true;
        // After the paint pass this event belongs to.
        QTimer::singleShot(0, this, [this] { checkThread->start(); });
    }
    return KelTab::event(event);
}

bool BurnTab::isQuerying() const {
    return infoThread && infoThread->isRunning();
}

bool BurnTab::isRetiringLink() const {
    for (const RetiredLink &retired : retiring) {
        if (retired.helper && !retired.helper->isFinished()) {
            return true;
        }
    }
    return false;
}

void BurnTab::pruneThreads() {
    for (int i = infoThreads.size() - 1; i >= 0; --i) {
        DevInfoThread *query = infoThreads[i];
        if (query->isFinished()) {
            infoThreads.removeAt(i);
            if (query == infoThread) {
                infoThread = nullptr;
            }
            delete query;
        }
    }
    for (int i = retiring.size() - 1; i >= 0; --i) {
        // The helper is gone only after it waited for the query and released.
        if (!retiring[i].helper) {
            delete retiring[i].query;
            retiring.removeAt(i);
        }
    }
}

KelLinker *BurnTab::createLinker(int type) {
    return LinkFactory::createLinker(type);
}

void BurnTab::reapplyConnectType() {
    // Runs the handler as a change from the serial type to USB would, so that the
    // window gets a USB link once it is complete.
    emit typeBox->indexChanged(1, 0);
}

void BurnTab::onConnectTypeChanged(int oldIndex, int curIndex) {
    Q_UNUSED(oldIndex);
    infoLabel->clear();
    qDebug() << "Current connect type:" << curIndex;

    if (linker != nullptr) {
        KelLinker *old = linker;
        linker = nullptr;
        retireLinker(old);
    }
    // A board found through the previous link is not reachable through the next
    // one; it is forgotten until a scan finds it again, and so is what the last
    // job showed of it.
    adbMode = false;
    dropResult();
    boardNote.clear();
    clearDevice();
    if (deviceLinked) {
        deviceLinked = false;
        emit deviceReady(false);
        checkThread->resume();
    }

    linker = createLinker(curIndex);
    showBoardMessage(QString());

    switch (curIndex) {
        case LinkFactory::Usb:
            scanDevices();
            portBox->hide();
            break;
        case LinkFactory::Serial: {
            const QStringList ports = linker ? linker->listDevices() : QStringList();
            qDebug().noquote() << "Scan the available Serial Device ...\n";
            if (!ports.isEmpty()) {
                portBox->clear();
                portBox->addItems(ports);
                portBox->show();
            } else {
                // Without it the page would show nothing at all.
                showSuccess(tr("未发现串口"));
            }
            break;
        }
        case LinkFactory::Network:
            qWarning() << "Unsupport network now!";
            break;
        default:
            break;
    }
}

void BurnTab::retireLinker(KelLinker *old) {
    // A query may still work on this link: its answer is of no use any more, and
    // the release must wait until it has let go. Waiting for a query that has
    // already ended returns at once, so there is no race with its end.
    DevInfoThread *query = infoThread;
    if (query != nullptr) {
        disconnect(query, &DevInfoThread::linkFinished, this, nullptr);
        infoThreads.removeAll(query);
        infoThread = nullptr;
    }

    auto *helper = new QThread;
    old->moveToThread(helper);
    connect(
        helper, &QThread::started, old,
        [old, query]() {
            if (query != nullptr) {
                query->wait();
            }
            old->release();
        },
        Qt::DirectConnection);
    // Emitted on the helper thread itself, from inside release().
    connect(
        old, &KelLinker::releaseFinish, helper, [helper]() { helper->quit(); },
        Qt::DirectConnection);
    // Deferred deletions of the helper thread are carried out as it finishes, so
    // the link is destroyed on the thread it was released on.
    connect(helper, &QThread::finished, old, &QObject::deleteLater);
    connect(helper, &QThread::finished, helper, &QObject::deleteLater);
    retiring.append({helper, query});
    helper->start();
}

void BurnTab::onPortChanged(int oldIndex, int curIndex) {
    Q_UNUSED(oldIndex);
    Q_UNUSED(curIndex);
    infoLabel->clear();
    const QString port = portBox->currentText();
    qDebug() << "Current serial dev:" << port;
    if (port.isEmpty() || linker == nullptr) {
        return;
    }
    // A query or a job owns the link's device, and opening the port for the probe
    // would reconfigure the line under it.
    if (isQuerying() || isWorking()) {
        return;
    }

    // Only the port is checked here; the next scan links the first listed port.
    linker->unlink();

    QSerialPort probe;
    probe.setPortName(port);
    if (probe.open(QIODevice::ReadWrite)) {
        probe.close();
        return;
    }
    const QString text = tr("无法打开串口 %1，请确认是否被其他程序占用").arg(port);
    KelDialog::alert(this, text, false);
    qDebug().noquote() << text;
}

void BurnTab::onForceClicked(bool checked) {
    rebootBox->setChecked(!checked);
    rebootBox->setEnabled(!checked);
    // The option acts when the board is queried: a board in U-Boot is asked
    // again, now with (or without) the switch into upgrade work mode.
    if (linker != nullptr && !adbMode && linker->reportsUboot() && !linker->name().isEmpty() &&
        !jobActive && !isWorking() && !isQuerying()) {
        linker->clearName();
        scanDevices();
    }
}

void BurnTab::onPartitionModeClicked(bool checked) {
    Q_UNUSED(checked);
    partitionPanel->setVisible(partitionBox->isChecked());
}

void BurnTab::onSelectAllClicked(bool checked) {
    Q_UNUSED(checked);
    const bool all = selectAllBox->isChecked();
    for (KelCheckBox *box : partBoxes) {
        box->setChecked(all);
    }
    Settings::instance().setSelectedParts(QString());
}

void BurnTab::onPartitionClicked(bool checked) {
    Q_UNUSED(checked);
    QStringList names;
    bool all = true;
    for (KelCheckBox *box : partBoxes) {
        if (box->isChecked()) {
            names << box->text();
        } else {
            all = false;
        }
    }
    Settings::instance().setSelectedParts(names.join(QLatin1Char(',')));
    selectAllBox->setChecked(all);
}

void BurnTab::refreshPartitionTree() {
    partList->clear();
    partBoxes.clear();
    if (image == nullptr) {
        return;
    }
    const QString stored = Settings::instance().selectedParts();
    const FwcMeta *meta = image->meta();
    if (meta == nullptr) {
        return;
    }
    qDebug() << "Refresh the partition tree ...";
    const QStringList storedParts = stored.split(QLatin1Char(','), Qt::KeepEmptyParts);

    const quint32 count = image->fwcCount();
    for (quint32 i = 0; i < count; ++i) {
        const QString compName = fixedLatin1(meta[i].name, sizeof(meta[i].name));
        if (!compName.contains(QLatin1String("target"))) {
            continue;
        }
        const QString partName = partitionNameOf(compName).left(kMaxPartName);

        auto *row = new QWidget;
        auto *rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(0);
        auto *box = new KelCheckBox(partName, row);
        box->setChecked(stored.isEmpty() || storedParts.contains(partName));
        auto *size = new QLabel(formatSize(meta[i].size, 'f', 1), row);
        rowLayout->addWidget(box, 1, Qt::AlignLeft);
        rowLayout->addWidget(size, 1, Qt::AlignRight);
        connect(box, &KelCheckBox::clicked, this, &BurnTab::onPartitionClicked);

        auto *item = new QListWidgetItem(partList);
        item->setSizeHint(row->sizeHint());
        partList->setItemWidget(item, row);
        partBoxes.append(box);

        if (i + 1 < count) {
            qDebug().noquote() << "  Part name:" << compName << ", size:" << meta[i].size;
        } else {
            qDebug().noquote() << "  Part name:" << compName << ", size:" << meta[i].size << "\n";
        }
    }

    bool all = true;
    for (KelCheckBox *box : partBoxes) {
        all = all && box->isChecked();
    }
    selectAllBox->setChecked(all);
}

void BurnTab::scanDevices() {
    scan(false);
}

void BurnTab::followUpScan() {
    scan(true);
}

void BurnTab::scan(bool followUp) {
    if (!followUp) {
        emptyScansLeft = kEmptyScanRetries;
    }
    if (linker == nullptr) {
        return;
    }
    // The job, or a query in flight, uses the link; a second user would work it
    // from two threads at once. The change that asked for this scan is not lost:
    // the scan runs once they are done.
    if (jobActive || isWorking() || isQuerying()) {
        scanPending = true;
        return;
    }
    adbMode = false;

    const QStringList devices = linker->listDevices();
    holds.seen(linkKind(), devices);
    if (devices.isEmpty()) {
        if (emptyScansLeft > 0) {
            --emptyScansLeft;
            followUpTimer->start(kEmptyScanRetryMs);
        }
        // A follow-up that finds the same nothing has nothing new to say.
        if (followUp && !deviceLinked) {
            return;
        }
        deviceLinked = false;
        linker->clearName();
        boardNote.clear();
        clearDevice();
        showBoardMessage(tr("未发现Kelvora设备"));
        emit deviceReady(false);
        checkThread->resume();
        return;
    }
    stopFollowUps();
    if (!linker->name().isEmpty()) {
        if (devices.contains(linker->name())) {
            return;
        }
        // The board the link names has gone and another one is there: the old
        // board's text and readiness must not pass for the new one's.
        deviceLinked = false;
        linker->clearName();
        clearDevice();
        emit deviceReady(false);
    }

    qDebug().noquote() << "\nTry to connect the Kelvora device ...";
    // Queries that are over go now, so the list does not grow with every scan.
    pruneThreads();
    auto *query = new DevInfoThread(linker, devices.first(), forceBox->isChecked() ? 1 : 0);
    connect(query, &DevInfoThread::linkFinished, this, [this, query](bool linked) {
        // An answer the query posted just before its link was replaced still arrives
        // after the disconnect; that board is not on the current link.
        if (query != infoThread) {
            return;
        }
        // The query is past its last use of the link; once its thread has ended, a
        // start from this answer (auto-burn) is not refused as a query in flight.
        query->wait();
        onLinkFinished(linked);
    });
    infoThread = query;
    infoThreads.append(query);
    query->start();
}

void BurnTab::onLinkFinished(bool linked) {
    deviceLinked = linked;
    qDebug().noquote() << "The status of Kelvora device: " + QString(boolText(linked));
    // A serial port without a board that answers holds no board.
    if (!linked && boardKind() == BoardHolds::Serial) {
        holds.seen(BoardHolds::Serial, QStringList());
    }
    // A board in U-Boot burns only once it is switched into upgrade work mode,
    // which the forced upgrade does as it queries it.
    boardNote = linked && linker && boardKind() == BoardHolds::Usb && linker->reportsUboot() &&
                        !forceBox->isChecked()
                    ? tr(kUbootNote)
                    : QString();
    showDevice(linker ? linker->deviceInfo() : QString());
    // A board that is listed counts as connected even when it did not answer; the
    // start button still follows isReady().
    emit deviceReady(true);
    if (linked) {
        checkThread->pause();
    }
    if (scanPending) {
        scanPending = false;
        QTimer::singleShot(0, this, &BurnTab::scanDevices);
    }
}

void BurnTab::stopFollowUps() {
    emptyScansLeft = 0;
    followUpTimer->stop();
}

void BurnTab::onAdbDeviceFound(QStringList sysInfo) {
    if (deviceLinked || sysInfo.size() < 4) {
        return;
    }
    // The board is here; a follow-up scan finding no upgrade device would only
    // forget it again.
    stopFollowUps();
    deviceLinked = true;
    adbMode = true;
    adbHost = sysInfo[1];
    boardNote.clear();
    showDevice(tr("设备名称：%1\n系统类型：%2\nCPU类型：%3\n内核版本：%4")
                   .arg(sysInfo[1], sysInfo[0], sysInfo[3], sysInfo[2]));
    emit deviceReady(true);
    checkThread->pause();
}

void BurnTab::onAdbDeviceAbsent() {
    holds.seen(BoardHolds::Adb, QStringList());
}

BoardHolds::Kind BurnTab::linkKind() const {
    return typeBox->currentIndex() == LinkFactory::Serial ? BoardHolds::Serial : BoardHolds::Usb;
}

BoardHolds::Kind BurnTab::boardKind() const {
    return adbMode ? BoardHolds::Adb : linkKind();
}

QString BurnTab::boardId() const {
    if (adbMode) {
        return adbHost;
    }
    return linker ? linker->name() : QString();
}

bool BurnTab::mayAutoStart() {
    // A board that is not usable, or one a job has ended on and that has not
    // been taken away since, is left to the operator.
    return deviceLinked && !jobActive && !holds.isHeld(boardKind(), boardId());
}

void BurnTab::onInUboot() {
    infoLabel->setText(infoLabel->text().replace(QLatin1String("BROM"), QLatin1String("U-Boot")));
}

bool BurnTab::isReady() {
    // After a stop the worker may still be on its way out; the board is ready
    // again once the scan after the job has found it.
    return deviceLinked && !jobActive;
}

bool BurnTab::startWork() {
    // Nothing to burn with, or a job already running on the link.
    if (image == nullptr || linker == nullptr || jobActive || isWorking() || isQuerying()) {
        return false;
    }
    // The image's own check (hidden settings) comes before the board is touched.
    if (!imagePassesCheck()) {
        return false;
    }
    jobKind = boardKind();
    jobBoard = boardId();
    BurnRequest request;
    request.image = image;
    request.link = adbMode                                 ? BurnRequest::Adb
                   : typeBox->currentIndex() == LinkFactory::Serial ? BurnRequest::Serial
                                                                    : BurnRequest::Usb;
    request.location = jobBoard;
    request.retries = Settings::instance().retryCount();
    request.reboot = rebootBox->isChecked();
    request.force = forceBox->isChecked();
    // Off unless set in the hidden settings: a board may compute its checksum
    // differently from the image's CRC.
    request.verify = Settings::instance().verifyChecksum();
    request.adbProgram = CheckThread::adbProgram();
    if (partitionBox->isChecked()) {
        request.selection = selectedPartitions();
    }
    // The previous session's worker is destroyed with adoptWorker below.
    delete session;
    session = new BurnSession(request, linker, this);
    BurnThread *burn = session->prepare();
    session->handWorkerOver();
    adoptWorker(burn);
    qDebug() << "Start burn online ...";
    // adoptWorker relays the four worker signals to this page's handlers.
    connect(session, &BurnSession::event, this, [this](const BurnEvent &e) {
        if (e.kind == BurnEvent::StageChanged) {
            onInUboot();
        } else if (e.kind == BurnEvent::Waiting) {
            onWorkerWaiting(e.wait);
        } else if (e.kind == BurnEvent::Result && image != nullptr) {
            emit jobRecord(burnRecord(stationFacts(Settings::instance()), e.result, *image,
                                      selectedComponents(*image, session->request().selection)));
        }
    });
    connect(burn, &QThread::finished, this, &BurnTab::onWorkerFinished);
    qDebug().nospace() << "Progress range: 0 ~ " << image->fileSize();

    stopFollowUps();
    jobActive = true;
    jobResetsBoard = rebootBox->isChecked();
    jobStopped = false;
    jobSucceeded = false;
    failureReason.clear();
    dropResult();
    boardNote.clear();
    setControlsEnabled(false);
    session->start();
    adbMode = false;
    refreshMessage();
    return true;
}

std::vector<PartitionSelection> BurnTab::selectedPartitions() const {
    const int n = partBoxes.size();
    qDebug() << "Scan the current" << n << "partitions in list ...";
    std::vector<PartitionSelection> entries(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        PartitionSelection &entry = entries[static_cast<size_t>(i)];
        memset(&entry, 0, sizeof(entry));
        const QByteArray name = partBoxes[i]->text().toLatin1().left(kMaxPartName);
        memcpy(entry.name, name.constData(), name.size());
        entry.selected = partBoxes[i]->isChecked() ? 1 : 0;
        qDebug() << "  Part name:" << entry.name
                 << ", Selected:" << boolText(entry.selected != 0);
    }
    return entries;
}

void BurnTab::finishWork() {
    const bool jobEnded = jobActive;
    deviceLinked = false;
    jobActive = false;
    // The worker may still be on its way out (unlinking, resetting the board) and
    // reads the link's name in its messages: it ends before the name is cleared.
    releaseWorker();
    endWaiting();
    if (jobEnded) {
        // Auto-burn leaves this board alone until it has been taken away; one
        // that was reset comes back by itself, and that is no new board.
        // So does one that is away at the job's end (stopped or failed while it
        // passed from one stage to the next).
        const bool resets = jobSucceeded && jobResetsBoard && !jobStopped;
        const QStringList present = linker ? linker->listDevices() : QStringList();
        const QString device = linker ? linker->name() : QString();
        holds.hold(jobKind, jobBoard,
                   resets || (jobKind == BoardHolds::Usb && !present.contains(jobBoard)));
        // A board started through adb was burnt as an upgrade device.
        if (jobKind == BoardHolds::Adb) {
            holds.hold(linkKind(), device, resets || !present.contains(device));
        }
    }
    if (linker != nullptr) {
        linker->clearName();
    }
    setControlsEnabled(true);
    checkThread->resume();
    // The board may have gone, come back or stayed while the job ran, and the
    // device events of that time were not acted on: look at what is there now.
    scanPending = false;
    if (jobEnded && !boardLeaving) {
        QTimer::singleShot(0, this, &BurnTab::scanDevices);
    }
    boardLeaving = false;
}

void BurnTab::onWorkerFinished() {
    // A job stopped between two components reports no result; it is over all
    // the same.
    if (jobActive && !isWorking()) {
        finishWork();
    }
}

void BurnTab::setControlsEnabled(bool enabled) {
    typeBox->setEnabled(enabled);
    portBox->setEnabled(enabled);
    forceBox->setEnabled(enabled);
    // A forced upgrade keeps the board from being reset afterwards.
    rebootBox->setEnabled(enabled && !forceBox->isChecked());
    partitionBox->setEnabled(enabled);
    partList->setEnabled(enabled);
    selectAllBox->setEnabled(enabled);
}

void BurnTab::leaveTab() {
    checkThread->pause();
    deviceLinked = false;
    if (linker != nullptr && !isWorking() && !isQuerying()) {
        linker->clearName();
    }
}

void BurnTab::onThreadStart() {
    if (linker != nullptr) {
        infoLabel->setText(linker->deviceInfo());
    }
    emit workStart();
}

void BurnTab::onThreadFailed() {
    // The worker's reason, for the cause shown and the tool tip.
    if (worker != nullptr) {
        failureReason = worker->failure().message();
    }
    StatisticStore::instance().record(false);
    finishWork();
    keepResult(tr("执行失败！"), true);
    emit workFailed();
}

void BurnTab::onThreadSuccessful() {
    progressFill->setFixedHeight(kFillFull);
    boardLeaving = jobResetsBoard;
    jobSucceeded = true;
    StatisticStore::instance().record(true);
    finishWork();
    keepResult(tr("执行成功！"), false);
    emit workSuccessful();
}

void BurnTab::stopWork() {
    jobStopped = true;
    KelTab::stopWork();
    // A job stopped between two components ends without a result: this is it.
    keepResult(tr("执行中止！"), false);
}

void BurnTab::setProgress(qint64 position) {
    // Data moves again.
    endWaiting();
    KelTab::setProgress(position);
}

void BurnTab::onWorkerWaiting(int what) {
    waitText = what == BurnThread::WaitUpgradeService ? tr("等待设备启动升级服务")
                                                      : tr("等待设备重新连接");
    busyStep = 0;
    busyTimer->start();
    refreshMessage();
}

void BurnTab::endWaiting() {
    if (waitText.isEmpty()) {
        return;
    }
    waitText.clear();
    busyTimer->stop();
    refreshMessage();
}

void BurnTab::keepResult(const QString &text, bool bad) {
    resultText = text;
    resultBad = bad;
    refreshMessage();
}

void BurnTab::dropResult() {
    const bool had = !resultText.isEmpty();
    resultText.clear();
    failureReason.clear();
    progressFill->setFixedHeight(0);
    if (had) {
        emit resultCleared();
    }
}

void BurnTab::refreshMessage() {
    QString first;
    QString second;
    QString tip;
    bool bad = false;
    if (jobActive && resultText.isEmpty()) {
        first = tr("开始烧写，请勿断开设备 ...");
        if (!waitText.isEmpty()) {
            second = waitText + QString(1 + busyStep % 3, QLatin1Char('.'));
        }
    } else if (!resultText.isEmpty()) {
        first = resultText;
        bad = resultBad;
        if (resultBad) {
            const QString cause = jobStopped ? tr("烧写被中止") : failureCauseText(failureReason);
            second = cause;
            tip = failureReason;
        }
        // What the board that is there now needs before the next start matters
        // more than why the last one failed (that stays in the tool tip).
        if (!boardNote.isEmpty()) {
            second = boardNote;
        }
    } else {
        first = boardText;
        second = boardNote;
        bad = !boardNote.isEmpty();
    }
    const QString text = second.isEmpty() ? first : first + QLatin1Char('\n') + second;
    if (bad) {
        showError(text);
    } else {
        showSuccess(text);
    }
    messageLine->setToolTip(tip);
}

void BurnTab::showDevice(const QString &text) {
    infoLabel->setText(text);
    setLinkedLook(true);
    showBoardMessage(tr("Kelvora设备已连接"));
}

void BurnTab::showBoardMessage(const QString &text) {
    boardText = text;
    refreshMessage();
}

void BurnTab::clearDevice() {
    infoLabel->clear();
    setLinkedLook(false);
    // A kept result keeps its fill.
    if (resultText.isEmpty()) {
        progressFill->setFixedHeight(0);
    }
}

void BurnTab::setLinkedLook(bool linked) {
    devIcon->setProperty("linked", linked);
    // Dynamic properties are matched only when the style is applied again.
    devIcon->style()->unpolish(devIcon);
    devIcon->style()->polish(devIcon);
    devIcon->update();
}
