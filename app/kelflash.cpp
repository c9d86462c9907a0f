#include "kelflash.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QSysInfo>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "devicewatcher.h"
#include "fleetsettings.h"
#include "imghistorydialog.h"
#include "kellogdialog.h"
#include "settingdialog.h"
#include "statisticdialog.h"
#include "fontawesome.h"
#include "kelbutton.h"
#include "kelcheckbox.h"
#include "keldialog.h"
#include "kellineedit.h"
#include "kellogger.h"
#include "keltab.h"
#include "libkelupg.h"
#include "recordwriter.h"
#include "burntab.h"
#include "cardtab.h"
#include "resourcefont.h"
#include "settings.h"
#include "uiformat.h"
#include "upg_log.h"

namespace {

const char *const kValueColor = "#335983";
const int kBurnIndex = 0;
const int kCardIndex = 1;
// Least room between the image's header fields and the log check box.
const int kInfoGap = 15;
const char *const kFullValue = "fullValue";

QLabel *captionLabel(const QString &caption, const QString &objectName, QWidget *parent) {
    QLabel *label = new QLabel(caption, parent);
    label->setObjectName(objectName);
    return label;
}

}  // namespace

QString appVersionText() {
    return QString("%1.%2.%3")
        .arg(APP_VERSION_MAJOR)
        .arg(APP_VERSION_MINOR)
        .arg(APP_VERSION_RELEASE);
}

KelFlash::KelFlash(QWidget *parent) : KelFlash(nullptr, nullptr, parent) {}

KelFlash::KelFlash(KelTab *burnPage, KelTab *cardPage, QWidget *parent) : QWidget(parent) {
    if (libkelupg_init() != 0) {
        qFatal("Failed to init libkelupg!");
    }
    libraryReady = true;

    setWindowTitle("KelFlash v" + appVersionText());
    // One icon for both: each icon made from the file reads it again.
    const QIcon logo(":res/image/logo.ico");
    KelTitleBar::setBarIcon(logo);
    setWindowIcon(logo);
    setFixedSize(800, 490);

    QFile qss(":res/qss/style.qss");
    if (qss.open(QIODevice::ReadOnly)) {
        setStyleSheet(QString::fromUtf8(qss.readAll()));
    } else {
        qWarning() << "Failed to load style sheet!";
    }

    const QStringList families = addResourceFont(":/res/font/DroidSansFallback.ttf");
    // The icon font too, before any text is measured: each font registered later
    // would make the font database load every font again.
    FontAwesome::getInstance();
    if (families.isEmpty()) {
        qWarning() << "Failed to load font!";
    } else {
        QFont font(families.first());
        font.setPixelSize(14);
        QApplication::setFont(font);
    }

    burnTab = burnPage ? burnPage : new BurnTab;
    cardTab = cardPage ? cardPage : new CardTab;
    for (KelTab *tab : {burnTab, cardTab}) {
        connect(tab, &KelTab::deviceReady, this, &KelFlash::onDeviceReady);
        connect(tab, &KelTab::workStart, this, &KelFlash::onWorkStart);
        connect(tab, &KelTab::workProgress, this, &KelFlash::onWorkProgress);
        connect(tab, &KelTab::workFailed, this, &KelFlash::onWorkFailed);
        connect(tab, &KelTab::workSuccessful, this, &KelFlash::onWorkSuccessful);
        connect(tab, &KelTab::resultCleared, this, [this] {
            resultHeld = false;
            resetStatus();
        });
        connect(tab, &KelTab::jobRecord, this, [this](const BoardRecord &record) {
            if (records)
                records->submit(record);
        });
    }

    tabWidget = new QTabWidget(this);
    tabWidget->setObjectName("tabWidget");
    tabWidget->addTab(burnTab, tr("烧写镜像"));
    tabWidget->addTab(cardTab, tr("制作启动卡"));
    connect(tabWidget, &QTabWidget::currentChanged, this, &KelFlash::onTabChanged);

    QVBoxLayout *mainLayout = new QVBoxLayout(this);
    mainLayout->setContentsMargins(10, 5, 10, 10);
    mainLayout->setSpacing(8);
    mainLayout->addWidget(tabWidget, 1);
    mainLayout->addWidget(buildStatusRow());
    mainLayout->addWidget(buildFileRow());

    buildToolBar();

    logger = new KelLogger;
    if (logger->isEnabled()) {
        qInstallMessageHandler(kelLogMessageHandler);
        connect(logger, &KelLogger::logMessage, this, &KelFlash::showLogMessage);
    }
    upg_log_set_callback(libraryLogSink);

    logSystemInfo();
    openRecords();

    timer = new QTimer(this);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &KelFlash::onTimerTick);

    // Device changes reach the window through the platform's watcher; on platforms
    // where they arrive as window messages, nativeEvent feeds it.
    deviceWatcher = new DeviceWatcher(this);
    connect(deviceWatcher, &DeviceWatcher::deviceChanged, this, &KelFlash::onDeviceChange);

    closeTimer = new QTimer(this);
    closeTimer->setInterval(100);
    connect(closeTimer, &QTimer::timeout, this, &KelFlash::closeWhenIdle);
    // A control with the focus (the connection-type box) takes the keys typed.
    qApp->installEventFilter(this);

    selectImage(Settings::instance().imagePath());
    KelTab::callHook(burnTab, "reapplyConnectType");
}

KelFlash::~KelFlash() {
    qApp->removeEventFilter(this);
    // The pages may still hold workers and open devices inside the library: they go
    // before it shuts down, and while the logger still records what they say. What
    // they signal on the way out no longer concerns the window.
    disconnect(tabWidget, nullptr, this, nullptr);
    disconnect(burnTab, nullptr, this, nullptr);
    disconnect(cardTab, nullptr, this, nullptr);
    delete tabWidget;
    tabWidget = nullptr;
    // The history dialog writes the history file as it goes.
    delete historyDialog;
    historyDialog = nullptr;
    delete statisticDialog;
    statisticDialog = nullptr;
    delete settingDialog;
    settingDialog = nullptr;
    delete logDialog;
    logDialog = nullptr;
    delete logger;
    logger = nullptr;
    if (libraryReady) {
        libkelupg_exit();
    }
}

QWidget *KelFlash::buildStatusRow() {
    QWidget *row = new QWidget(this);
    progressLabel = captionLabel(tr("进度："), "progressLabel", row);
    rateLabel = captionLabel(tr("速率："), "rateLabel", row);
    timeLabel = captionLabel(tr("用时："), "timeLabel", row);
    resultLabel = captionLabel(tr("结果："), "resultLabel", row);
    QHBoxLayout *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QLabel *label : {progressLabel, rateLabel, timeLabel, resultLabel}) {
        layout->addWidget(label);
    }
    spoolLabel = new QLabel(row);
    spoolLabel->setObjectName("spoolLabel");
    spoolLabel->hide();
    layout->addWidget(spoolLabel);
    return row;
}

void KelFlash::openRecords() {
    QString error;
    records = openRecordWriter(Settings::instance(), QString(), &error);
    if (!records) {
        // A [fleet] database that does not parse must not cost the records:
        // they are kept on this station until the setting is mended.
        qCritical().noquote() << "Board records:" << error << "- they are kept in"
                              << defaultRecordsPath() << "instead";
        records = std::make_unique<RecordWriter>(RecordTarget::sqlite(defaultRecordsPath()),
                                                 spoolPathFor(defaultRecordsPath()));
    }
    connect(records.get(), &RecordWriter::spoolCountChanged, this, &KelFlash::showSpoolCount);
}

void KelFlash::showSpoolCount(int count) {
    spoolLabel->setVisible(count > 0);
    spoolLabel->setText(tr("%1 条记录等待上传").arg(count));
    spoolLabel->setToolTip(records ? records->target().displayText() : QString());
}

QWidget *KelFlash::buildFileRow() {
    QWidget *row = new QWidget(this);
    FontAwesome *fa = FontAwesome::getInstance();

    pathEdit = new KelLineEdit(row);
    pathEdit->setObjectName("imagePath");
    pathEdit->setReadOnly(true);
    pathEdit->setPlaceholderText(tr("请选择镜像文件..."));
    historyBtn = new KelButton(row);
    historyBtn->setObjectName("historyBtn");
    historyBtn->setFixedWidth(30);
    fa->setButtonIcon(historyBtn, FontAwesome::IconHistory);
    connect(historyBtn, &KelButton::clicked, this, &KelFlash::showHistory);
    openBtn = new KelButton(row);
    openBtn->setObjectName("openBtn");
    openBtn->setFixedWidth(30);
    fa->setButtonIcon(openBtn, FontAwesome::IconFolderOpen);
    connect(openBtn, &KelButton::clicked, this, &KelFlash::openImageFile);

    QHBoxLayout *pathRow = new QHBoxLayout;
    pathRow->setContentsMargins(0, 0, 0, 0);
    pathRow->setSpacing(5);
    pathRow->addWidget(pathEdit, 1);
    pathRow->addWidget(historyBtn);
    pathRow->addWidget(openBtn);

    QVBoxLayout *left = new QVBoxLayout;
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(5);
    left->addLayout(pathRow);
    left->addWidget(buildInfoRow(), 1);

    startBtn = new KelButton(tr("开始"), row);
    startBtn->setObjectName("startBtn");
    startBtn->setFixedSize(115, 55);
    startBtn->setEnabled(false);
    connect(startBtn, &KelButton::clicked, this, &KelFlash::onStartClicked);

    QHBoxLayout *outer = new QHBoxLayout(row);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(10);
    outer->addLayout(left, 1);
    outer->addWidget(startBtn);
    return row;
}

QWidget *KelFlash::buildInfoRow() {
    QWidget *row = new QWidget(this);
    imgInfo = new QWidget(row);
    imgInfo->setObjectName("imgInfo");
    socLabel = captionLabel(tr("SoC型号："), "socLabel", imgInfo);
    boardLabel = captionLabel(tr("板级型号："), "boardLabel", imgInfo);
    versionLabel = captionLabel(tr("版本号："), "versionLabel", imgInfo);
    mediaLabel = captionLabel(tr("存储介质："), "mediaLabel", imgInfo);
    QHBoxLayout *infoLayout = new QHBoxLayout(imgInfo);
    infoLayout->setContentsMargins(0, 0, 0, 0);
    infoLayout->setSpacing(30);
    for (QLabel *label : {socLabel, boardLabel, versionLabel, mediaLabel}) {
        infoLayout->addWidget(label);
    }
    infoLayout->addStretch(1);
    imgInfo->hide();

    logCheckBox = new KelCheckBox(tr("日志"), row);
    logCheckBox->setObjectName("logCheckBox");
    logCheckBox->setSpacing(3);
    connect(logCheckBox, &KelCheckBox::clicked, this, &KelFlash::toggleLogWindow);

    QHBoxLayout *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(imgInfo, 1);
    // Long header fields must not run into the check box.
    QWidget *gap = new QWidget(row);
    gap->setMinimumWidth(kInfoGap);
    layout->addWidget(gap, 1);
    layout->addWidget(logCheckBox);
    return row;
}

void KelFlash::logSystemInfo() {
    qDebug() << "Software Version:" << appVersionText();
    qDebug() << "Machine Name:" << QSysInfo::machineHostName();
    qDebug() << "System Name:" << QSysInfo::prettyProductName();
    qDebug() << "CPU Architecture:" << QSysInfo::currentCpuArchitecture() << "\n";
}

void KelFlash::setLabelValue(QLabel *label, const QString &value, const QString &color) {
    ::setLabelValue(label, value, color);
}

void KelFlash::selectImage(const QString &path) {
    if (path.isEmpty()) {
        return;
    }
    if (!QFileInfo::exists(path)) {
        qCritical() << "Image file dose not exist:" << path;
        return;
    }
    {
        ImageFile probe;
        probe.setPath(path);
        qDebug() << "Parse the image header from" << path;
        if (probe.loadHeader() < 0) {
            KelDialog::alert(this, tr("无效的镜像文件"), true);
            return;
        }
    }

    // The file may change between the two reads; then keep the previous image.
    QString previous = image.path();
    image.setPath(path);
    if (image.loadHeader() < 0) {
        image.setPath(previous);
        if (!previous.isEmpty()) {
            image.loadHeader();
        }
        KelDialog::alert(this, tr("无效的镜像文件"), true);
        return;
    }
    burnTab->setImage(&image);
    cardTab->setImage(&image);
    pathEdit->setText(path);

    setLabelValue(socLabel, image.platform(), kValueColor);
    setLabelValue(boardLabel, image.product(), kValueColor);
    setLabelValue(versionLabel, image.version(), kValueColor);
    setLabelValue(mediaLabel, image.mediaType(), kValueColor);
    socLabel->setProperty(kFullValue, image.platform());
    boardLabel->setProperty(kFullValue, image.product());
    versionLabel->setProperty(kFullValue, image.version());
    mediaLabel->setProperty(kFullValue, image.mediaType());
    imgInfo->show();
    for (QLabel *label : {socLabel, boardLabel, versionLabel, mediaLabel}) {
        updateInfoTip(label);
    }

    qDebug() << "Soc type:" << image.platform();
    qDebug() << "Board type:" << image.product();
    qDebug() << "Image version:" << image.version();
    qDebug() << "Storage type:" << image.mediaType();
    qDebug() << "Storage ID:" << image.mediaId();
    qDebug() << "Meta count:" << QString::number(image.fwcCount()) << "\n";

    imageValid = true;
    updateStartButton();
    KelTab::callHook(cardTab, "showCardImage");
    KelTab::callHook(burnTab, "refreshPartitionTree");
    recordInHistory(path);

    Settings::instance().setImagePath(path);
}

void KelFlash::openImageFile() {
    QString dir = Settings::instance().imagePath();
    qDebug() << "Current file path:" << dir;
    QString path =
        QFileDialog::getOpenFileName(this, tr("打开镜像文件"), dir, tr("镜像文件(*.img)"));
    selectImage(path);
}

KelTab *KelFlash::currentTab() const {
    return tabWidget->currentIndex() == kCardIndex ? cardTab : burnTab;
}

void KelFlash::updateStartButton() {
    startBtn->setEnabled(imageValid && currentTab()->isReady());
    startBtn->setText(tr("开始"));
}

void KelFlash::resetStatus() {
    for (QLabel *label : {progressLabel, rateLabel, timeLabel, resultLabel}) {
        setLabelValue(label, QString(), kValueColor);
    }
}

void KelFlash::setWorkingLook(bool working) {
    // The tab itself, not only its page: a disabled page behind a live tab could
    // still be switched to, and its start button would then ask the wrong page.
    const int other = tabWidget->currentIndex() == kBurnIndex ? kCardIndex : kBurnIndex;
    tabWidget->setTabEnabled(other, !working);
    // The image the job works on must stay the same until the job is over.
    openBtn->setEnabled(!working);
    historyBtn->setEnabled(!working);
}

void KelFlash::restoreIdle() {
    timer->stop();
    for (int i = 0; i < tabWidget->count(); ++i) {
        tabWidget->setTabEnabled(i, true);
    }
    openBtn->setEnabled(true);
    historyBtn->setEnabled(true);
    updateStartButton();
}

void KelFlash::onStartClicked() {
    KelTab *tab = currentTab();
    if (tab->isWorking()) {
        tab->pauseWork();
        int answer = KelDialog::confirm(
            this, tr("中途停止可能会造成数据丢失和不完整，请确认是否要停止操作？"));
        tab->resumeWork();
        // The job may have ended while the question was open; then there is nothing to stop.
        if (answer && tab->isWorking()) {
            tab->stopWork();
            resultHeld = true;
            restoreIdle();
        }
        return;
    }

    image.loadHeader();
    setWorkingLook(true);
    if (tab->startWork()) {
        resultHeld = false;
        startBtn->setText(tr("停止"));
        resetStatus();
        elapsedSeconds = 0;
        timer->start();
    } else {
        setWorkingLook(false);
    }
}

void KelFlash::onDeviceReady(bool isReady) {
    updateStartButton();
    if (!isReady) {
        return;
    }
    // A board found again after its job (reset, come back) does not wipe what
    // the job showed.
    if (!resultHeld) {
        resetStatus();
    }
    // The burn page knows the boards' history and says no where a board must
    // not be burnt again by itself.
    bool mayStart = true;
    KelTab::callHook(burnTab, "mayAutoStart", &mayStart);
    if (tabWidget->currentIndex() == kBurnIndex && Settings::instance().autoBurn() && mayStart) {
        emit startBtn->clicked(false);
    }
}

void KelFlash::onWorkStart() {
    workStartTime = QDateTime::currentDateTime();
    // A card format is started from inside the card tab, not by the start button,
    // so its status row and clock start here.
    bool formatting = false;
    KelTab::callHook(cardTab, "isFormatting", &formatting);
    if (tabWidget->currentIndex() == kCardIndex && formatting) {
        resultHeld = false;
        resetStatus();
        elapsedSeconds = 0;
        timer->start();
        // Nothing else may start on the card or change the image meanwhile; the
        // page is not ready while it formats, so the start button goes off.
        setWorkingLook(true);
        updateStartButton();
    }
}

void KelFlash::onWorkProgress(qint64 position, int progress) {
    setLabelValue(progressLabel, QString::number(progress) + "%", kValueColor);
    qint64 seconds =
        workStartTime.isNull() ? 0 : workStartTime.secsTo(QDateTime::currentDateTime());
    // A negative position is nonsense from a page; it must not wrap to exabytes.
    if (seconds > 0 && position >= 0) {
        setLabelValue(rateLabel, formatSize(quint64(position) / quint64(seconds), 'f', 1) + "/s",
                      kValueColor);
    }
}

void KelFlash::onWorkFailed() {
    resultHeld = true;
    setLabelValue(resultLabel, "FAIL", "red");
    restoreIdle();
}

void KelFlash::onWorkSuccessful() {
    resultHeld = true;
    setLabelValue(progressLabel, "100%", kValueColor);
    setLabelValue(resultLabel, "SUCCESS", "green");
    restoreIdle();
}

void KelFlash::onTimerTick() {
    ++elapsedSeconds;
    setLabelValue(timeLabel, QString::number(elapsedSeconds) + "s", kValueColor);
}

void KelFlash::onTabChanged(int index) {
    for (int i = 0; i < tabWidget->count(); ++i) {
        KelTab *tab = qobject_cast<KelTab *>(tabWidget->widget(i));
        if (!tab) {
            continue;
        }
        if (i == index) {
            tab->scanDevices();
        } else {
            tab->leaveTab();
        }
    }
    // The button belongs to the page now shown.
    updateStartButton();
}

void KelFlash::onDeviceChange(int code) {
    switch (code) {
        case DeviceWatcher::DeviceArrival:
        case DeviceWatcher::DeviceRemoveComplete:
            qDebug() << "\nWinEvent: Some device arrival or removed" << code;
            if (tabWidget->currentIndex() == kCardIndex) {
                cardTab->scanDevices();
            }
            break;
        case DeviceWatcher::DevNodesChanged:
            qDebug() << "\nWinEvent: Some devnode changed";
            if (tabWidget->currentIndex() == kBurnIndex) {
                burnTab->scanDevices();
            }
            break;
        default:
            qDebug() << "\nWindowsEvent: Receive other event" << code;
            break;
    }
}

bool KelFlash::nativeEvent(const QByteArray &eventType, void *message, long *result) {
    deviceWatcher->nativeEvent(eventType, message);
    return QWidget::nativeEvent(eventType, message, result);
}

KelTab *KelFlash::workingTab() const {
    if (burnTab->isWorking()) {
        return burnTab;
    }
    return cardTab->isWorking() ? cardTab : nullptr;
}

void KelFlash::closeEvent(QCloseEvent *event) {
    KelTab *tab = workingTab();
    if (tab == nullptr) {
        closeTimer->stop();
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    // Asked and agreed already: the window goes once the job has stopped.
    if (closeAfterStop) {
        return;
    }
    tab->pauseWork();
    const int answer =
        KelDialog::confirm(this, tr("中途停止可能会造成数据丢失和不完整，请确认是否要停止操作？"));
    tab->resumeWork();
    if (!answer) {
        return;
    }
    closeAfterStop = true;
    // The job may have ended while the question was open.
    if (tab->isWorking()) {
        tab->stopWork();
        resultHeld = true;
        restoreIdle();
    }
    closeTimer->start();
}

void KelFlash::closeWhenIdle() {
    // The board must not be left in the middle of a transfer: the worker ends
    // its current step first.
    if (workingTab() == nullptr) {
        closeTimer->stop();
        close();
    }
}

void KelFlash::updateInfoTip(QLabel *label) {
    const QString value = label->property(kFullValue).toString();
    // A value cut to twelve characters has its tool tip already; one the row is
    // too narrow for gets it as well.
    if (value.length() > 12) {
        return;
    }
    const bool clipped = label->isVisible() && label->width() < label->sizeHint().width();
    label->setToolTip(clipped ? value : QString());
}

bool KelFlash::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::Resize && watched->parent() == imgInfo &&
        watched->property(kFullValue).isValid()) {
        updateInfoTip(static_cast<QLabel *>(watched));
    }
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto *key = static_cast<QKeyEvent *>(event);
        QWidget *target = static_cast<QWidget *>(watched);
        QWidget *focus = QApplication::focusWidget();
        if (target == this) {
            // A key a control did not take comes on to the window: it has been
            // looked at already.
            if (event == childKey && key->timestamp() == childKeyStamp && focus != nullptr &&
                focus != this && focus->window() == this) {
                childKey = nullptr;
                return true;
            }
        } else if (target == focus && target->window() == this) {
            keyPressEvent(key);
            childKey = event;
            childKeyStamp = key->timestamp();
        }
    }
    return QWidget::eventFilter(watched, event);
}
