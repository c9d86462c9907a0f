#include "cardtab.h"

#include <QDateTime>
#include <QDebug>
#include <QHBoxLayout>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "cardthread.h"
#include "diskaccess.h"
#include "diskaccesshint.h"
#include "fleetsettings.h"
#include "imagefile.h"
#include "kelbutton.h"
#include "kelcombobox.h"
#include "keldialog.h"
#include "kelformatsdcard.h"
#include "kelswitch.h"
#include "settings.h"
#include "uiformat.h"

namespace {

constexpr int kFillFull = 78;

}  // namespace

CardTab::CardTab(QWidget *parent) : KelTab(parent) {}

void CardTab::ensureLayout() {
    // The page is built when it is first shown or used, not with the window:
    // the window's first frame shows the burn page only.
    if (built) {
        return;
    }
    built = true;
    buildLayout();
    connect(cardList, &KelComboBox::indexChanged, this, &CardTab::onCardSelected);
    connect(tableSwitch, &KelSwitch::clicked, this, &CardTab::onTableSwitchClicked);
    connect(formatBtn, &KelButton::clicked, this, &CardTab::onFormatClicked);
    // Nothing is listed before the first scan.
    cardList->hide();
    setControlsEnabled(false);
}

void CardTab::setVisible(bool visible) {
    // Before the page shows, so that its controls show with it.
    if (visible) {
        ensureLayout();
    }
    KelTab::setVisible(visible);
}

CardTab::~CardTab() {
    delete formatter;
    formatter = nullptr;
    // The bring-up worker refers to the card disk, a member that goes before the
    // base destructor would stop the worker.
    adoptWorker(nullptr);
}

void CardTab::buildLayout() {
    cardList = new KelComboBox(this);
    cardList->setObjectName("cardList");
    cardList->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cardList->setMinimumWidth(220);

    tableSwitch = new KelSwitch(this);
    tableSwitch->setObjectName("tableSwitch");
    tableSwitch->setOffText("GPT");
    tableSwitch->setOnText("MBR");
    QColor offColor("#2a86bf");
    tableSwitch->setOffColor(offColor);
    tableSwitch->setPadding(4);

    formatBtn = new KelButton(tr("格式化SD卡"), this);
    formatBtn->setObjectName("formatBtn");

    auto *topRow = new QHBoxLayout;
    topRow->setContentsMargins(0, 0, 0, 0);
    topRow->setSpacing(0);
    topRow->addWidget(new QLabel(tr("SD卡："), this));
    topRow->addWidget(cardList);
    topRow->addStretch();
    topRow->addWidget(new QLabel(tr("分区表格式："), this));
    topRow->addWidget(tableSwitch);
    topRow->addSpacing(20);
    topRow->addWidget(formatBtn);

    cardIcon = new QLabel(this);
    cardIcon->setObjectName("cardIcon");
    cardIcon->setFixedSize(123, 166);
    auto *iconLayout = new QVBoxLayout(cardIcon);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->setSpacing(0);
    iconLayout->addStretch();
    iconLayout->addWidget(progressBox, 0, Qt::AlignHCenter);
    iconLayout->addSpacing(20);

    cardInfo = new QLabel(this);
    cardInfo->setObjectName("cardInfo");
    cardInfo->hide();

    auto *cardRow = new QHBoxLayout;
    cardRow->setContentsMargins(0, 0, 0, 0);
    cardRow->setSpacing(20);
    cardRow->addSpacing(180);
    // Aligned, the two let the row take the page's spare height and sit in
    // its middle.
    cardRow->addWidget(cardIcon, 0, Qt::AlignVCenter);
    cardRow->addWidget(cardInfo, 0, Qt::AlignVCenter);
    cardRow->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(10);
    layout->addLayout(topRow);
    layout->addLayout(cardRow, 1);
    layout->addWidget(messageLine, 0, Qt::AlignRight);
}

bool CardTab::busy() const {
    return formatting || formatter != nullptr || (worker != nullptr && worker->isRunning());
}

void CardTab::scanDevices() {
    ensureLayout();
    // A rescan reselects a card, which changes the card disk a running job may
    // still use (the bring-up job writes its mark through it at the end). The
    // clean-up after the job scans again.
    if (busy()) {
        return;
    }
    qDebug().noquote() << "\nTry to scan the current disk device ...";
    cards = scanCards();
    cardList->clear();
    for (const CardInfo &card : cards) {
        const QString size = formatSize(card.size(), 'f', 1);
        const QString vendor = card.properties.vendor.trimmed();
        const QString product = card.properties.model.trimmed();
        const QString bus = busTypeName(card.properties.busType);
        qDebug() << "Disk ID:" << card.disk.number << "Vendor:" << vendor << product
                 << "Type:" << bus << "Size:" << size;
        // A space between the two, which sysfs gives without the padding that
        // would otherwise separate them.
        const QString name = QStringList{vendor, product}.join(QLatin1Char(' ')).trimmed();
        cardList->addItem(name + " (" + size + ")", card.disk.number);
    }

    const bool found = cardList->count() > 0;
    if (found) {
        cardList->setCurrentIndex(lastIndex >= 0 && lastIndex < cardList->count() ? lastIndex : 0);
        setControlsEnabled(true);
    } else {
        progressFill->setFixedHeight(0);
        setControlsEnabled(false);
        hideMark();
        // Said when a card has just gone (what the line said was about it) or
        // when nothing was said yet; the result of a job stays.
        if (!keepMessage && (hasCard || message().isEmpty())) {
            showSuccess(tr("未发现SD卡"));
        }
    }
    formatBtn->setEnabled(found);
    // The window clears its status row when a device becomes ready; after a job
    // the card that is still there is no news, and the result stays.
    const bool news = !keepMessage || found != hasCard;
    hasCard = found;
    cardList->setVisible(found);
    setLinkedLook(found);
    keepMessage = false;
    if (news) {
        emit deviceReady(found);
    }
}

bool CardTab::isReady() {
    // A format runs without the start button, which must not start a second
    // job on the card meanwhile.
    return hasCard && !formatting;
}

bool CardTab::isFormatting() {
    return formatting;
}

void CardTab::setControlsEnabled(bool enabled) {
    ensureLayout();
    cardList->setEnabled(enabled);
    tableSwitch->setEnabled(enabled);
    formatBtn->setEnabled(enabled);
}

void CardTab::setLinkedLook(bool linked) {
    ensureLayout();
    cardIcon->setProperty("linked", linked);
    // Dynamic properties are matched only when the style is applied again.
    cardIcon->style()->unpolish(cardIcon);
    cardIcon->style()->polish(cardIcon);
    cardIcon->update();
}

void CardTab::onCardSelected(int oldIndex, int curIndex) {
    ensureLayout();
    Q_UNUSED(oldIndex);
    if (curIndex < 0) {
        return;
    }
    if (!keepMessage) {
        showSuccess(QString());
    }
    const int n = cardList->itemData(curIndex).toInt();
    qDebug() << "Current index:" << curIndex << ", Disk ID:" << n;
    if (n < 0) {
        return;
    }
    // The item's number names the card as this list was made; a refused
    // number would leave the previous card selected under this name.
    DiskNode disk;
    disk.number = n;
    for (const CardInfo &card : cards) {
        if (card.disk.number == n) {
            disk = card.disk;
        }
    }
    if (!cardDisk.setDisk(disk) || !cardDisk.readImageMark()) {
        progressFill->setFixedHeight(0);
        hideMark();
        return;
    }
    showMark(!keepMessage);
}

void CardTab::showCardImage() {
    // The card disk keeps the mark of a card that has gone.
    if (hasCard) {
        showMark(true);
    }
}

void CardTab::showMark(bool compare) {
    ensureLayout();
    if (image == nullptr || !cardDisk.hasImageMark()) {
        return;
    }
    cardInfo->setText(QStringList{
        tr("SoC型号：") + cardDisk.markPlatform(), tr("板级型号：") + cardDisk.markProduct(),
        tr("版本号：") + cardDisk.markVersion(), tr("存储介质：") + QStringLiteral("mmc")}
                          .join("\n"));
    cardInfo->show();
    progressFill->setFixedHeight(kFillFull);
    if (compare) {
        showSuccess(cardDisk.isSameImage(image) ? tr("SD卡中有相同版本的镜像文件")
                                                : tr("SD卡中有其他版本的镜像文件"));
    }
}

void CardTab::hideMark() {
    ensureLayout();
    cardInfo->hide();
}

void CardTab::onTableSwitchClicked(bool checked) {
    showSuccess(checked ? tr("注意：Kelvora启动卡暂时只支持GPT格式") : QString());
}

void CardTab::showAccessRefusal(const QString &text) {
    // Only a card of a valid number is refused for want of rights; the
    // system's disk is refused whoever asks.
    const QString hint = cardDisk.diskNumber() > 0 ? diskAccessHint() : QString();
    showError(hint.isEmpty() ? text : text + "\n" + hint);
}

bool CardTab::cardWritable() {
    const DiskNode &disk = cardDisk.disk();
    const bool valid = disk.number > 0;
    const DiskHandle h = valid ? openDiskHandle(disk, DiskAccess::Query, true) : kInvalidDisk;
    closeDiskHandle(h);
    if (valid && h == kInvalidDisk) {
        scanDevices();
        showError(tr("SD卡已更换或已拔出，请重新选择SD卡"));
        return false;
    }
    if (valid && isDiskWriteProtected(disk)) {
        showError(tr("SD卡处于写保护状态，请关闭写保护开关后重试"));
        return false;
    }
    return true;
}

void CardTab::onFormatClicked() {
    ensureLayout();
    if (busy()) {
        return;
    }
    if (!cardWritable()) {
        return;
    }
    if (!KelDialog::confirm(this, tr("格式化SD卡会造成数据丢失，请确认是否继续？"))) {
        return;
    }
    if (!cardDisk.checkAdmin()) {
        showAccessRefusal(tr("格式化SD卡的操作需要\"以管理员身份运行\""));
        return;
    }
    formatter = new KelFormatSDCard(tableSwitch->checked(), &cardDisk);
    qDebug().noquote() << "Start format with" << tableSwitch->currentText() << "...\n";
    connect(formatter, &KelFormatSDCard::threadIsStart, this, &CardTab::onThreadStart);
    connect(formatter, &KelFormatSDCard::threadIsRunning, this, &CardTab::setProgress);
    connect(formatter, &KelFormatSDCard::threadIsFailed, this, &CardTab::onThreadFailed);
    connect(formatter, &KelFormatSDCard::threadIsSuccessful, this, &CardTab::onThreadSuccessful);
    showSuccess(tr("开始格式化SDcard，请勿插拔卡 ..."));
    formatting = true;
    beginRecord(QStringLiteral("card-format"));
    formatter->start(QThread::InheritPriority);
}

bool CardTab::startWork() {
    ensureLayout();
    if (image == nullptr || busy()) {
        return false;
    }
    if (image->mediaType() != QLatin1String("mmc")) {
        qWarning() << "The Image must be mmc type!";
        KelDialog::alert(this, tr("制作启动卡的镜像文件必须是mmc类型！"), true);
        return false;
    }
    if (!cardWritable()) {
        return false;
    }
    if (!KelDialog::confirm(
            this, tr("%1 中现有的数据将丢失，请确认是否继续？").arg(cardList->currentText()))) {
        return false;
    }
    if (!cardDisk.checkAdmin()) {
        showAccessRefusal(tr("写SD卡的操作需要\"以管理员身份运行\""));
        return false;
    }
    // The image's own check (hidden settings) comes before the card is touched.
    if (!imagePassesCheck()) {
        return false;
    }
    qDebug() << "Start make bringup SDcard ...";
    auto *job = new CardThread(image, &cardDisk);
    // Relays the four worker signals to this page's handlers.
    adoptWorker(job);
    // A job stopped between two components ends without a result; it is over
    // all the same.
    connect(job, &QThread::finished, this, [this, job] {
        if (job == worker && plannedBytes != 0) {
            finishWork();
        }
    });
    const int selected = cardList->currentIndex();
    const quint64 sectorSize =
        selected >= 0 && selected < cards.size() ? cards[selected].sectorSize : 512;
    plannedBytes = qMax<quint64>(1, CardThread::plannedBytes(image, sectorSize));
    qDebug().nospace() << "Progress range: 0 ~ " << image->fileSize();
    beginRecord(QStringLiteral("card-write"));
    job->start(QThread::InheritPriority);
    showSuccess(tr("开始写入SDcard，请勿插拔卡 ..."));
    return true;
}

void CardTab::setProgress(qint64 position) {
    // The formatter reports its stages as percentages (10, 20, 50, 100); against
    // the image's size they would leave the fill empty and show a transfer rate
    // for bytes that are never sent. The stage fills the card instead, and the
    // window is given no position, so it shows no rate.
    if (formatter != nullptr && sender() == formatter) {
        const int percent = int(qBound<qint64>(0, position, 100));
        progressFill->setFixedHeight(percent * kFillFull / 100);
        emit workProgress(-1, percent);
        return;
    }
    // The bring-up job counts what it writes, which is not the image's size
    // (sectors are whole, a component may go to two partitions): its count is
    // brought to the image's scale, where the base measures progress.
    if (plannedBytes != 0 && image != nullptr && position >= 0) {
        writtenBytes = position;
        const quint64 size = image->fileSize();
        position = quint64(position) >= plannedBytes
                       ? qint64(size)
                       : qint64(double(position) / double(plannedBytes) * double(size));
    }
    KelTab::setProgress(position);
}

void CardTab::finishWork() {
    // A job stopped by the operator ends without a result of its own.
    endRecord(Failure(Failure::Interrupted, QStringLiteral("stopped by the operator")));
    formatting = false;
    plannedBytes = 0;
    setControlsEnabled(true);
    if (formatter != nullptr) {
        if (formatter->isRunning()) {
            formatter->quit();
            formatter->wait();
        }
        delete formatter;
        formatter = nullptr;
    }
    releaseWorker();
    // The job changed the card (or the card went away) and the device events of
    // that time were not acted on: look at what is there now, leaving the
    // job's result on the message line.
    keepMessage = true;
    QTimer::singleShot(0, this, &CardTab::scanDevices);
}

void CardTab::onThreadStart() {
    ensureLayout();
    lastIndex = cardList->currentIndex();
    setControlsEnabled(false);
    emit workStart();
}

void CardTab::onThreadFailed() {
    // Read before finishWork lets the worker go.
    KelThread *job = formatter != nullptr ? static_cast<KelThread *>(formatter) : worker;
    const Failure why = job != nullptr ? job->failure() : Failure();
    endRecord(why ? why : Failure(Failure::Internal, message()));
    finishWork();
    KelTab::onThreadFailed();
}

void CardTab::onThreadSuccessful() {
    if (formatting) {
        progressFill->setFixedHeight(0);
        hideMark();
    } else {
        progressFill->setFixedHeight(kFillFull);
        showCardImage();
    }
    endRecord(Failure());
    finishWork();
    KelTab::onThreadSuccessful();
}

void CardTab::beginRecord(const QString &kind) {
    const int selected = cardList->currentIndex();
    jobFacts = CardJobFacts();
    jobFacts.kind = kind;
    if (selected >= 0 && selected < cards.size()) {
        const CardInfo &card = cards[selected];
        jobFacts.node = card.disk.path;
        jobFacts.identity = card.disk.identity;
        jobFacts.vendor = card.properties.vendor;
        jobFacts.product = card.properties.model;
        jobFacts.size = qint64(card.size());
    }
    jobFacts.started = QDateTime::currentDateTimeUtc();
    writtenBytes = 0;
    recordPending = true;
}

void CardTab::endRecord(const Failure &failure) {
    if (!recordPending) {
        return;
    }
    recordPending = false;
    jobFacts.ended = QDateTime::currentDateTimeUtc();
    jobFacts.failure = failure;
    // A bring-up job's count of written bytes, all it planned when it is done,
    // what it had written when it failed or was stopped; a format moves none it
    // counts.
    if (jobFacts.kind != QLatin1String("card-format")) {
        jobFacts.bytes = failure ? writtenBytes : qint64(plannedBytes);
    }
    emit jobRecord(cardRecord(stationFacts(Settings::instance()), jobFacts,
                              jobFacts.kind == QLatin1String("card-format") ? nullptr : image));
}
