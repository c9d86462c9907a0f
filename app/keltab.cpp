#include "keltab.h"

#include "imagecheck.h"
#include "imagefile.h"
#include "kelthread.h"
#include "settings.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QMetaMethod>
#include <QVBoxLayout>

namespace {
constexpr int kProgressWidth = 84;
constexpr int kProgressHeight = 78;
}  // namespace

KelTab::KelTab(QWidget *parent) : QWidget(parent) {
    progressFill = new QLabel(this);
    progressFill->setObjectName("tabProgress");
    progressFill->setFixedSize(kProgressWidth, 0);

    progressBox = new QWidget(this);
    progressBox->setFixedSize(kProgressWidth, kProgressHeight);
    auto *boxLayout = new QVBoxLayout(progressBox);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    boxLayout->setSpacing(0);
    // The empty widget above takes the slack, so the fill rises from the bottom.
    boxLayout->addWidget(new QWidget(progressBox), 1);
    boxLayout->addWidget(progressFill, 0);

    messageLine = new QLabel(this);
}

KelTab::~KelTab() {
    delete worker;
    worker = nullptr;
}

void KelTab::setImage(ImageFile *image) {
    this->image = image;
}

void KelTab::scanDevices() {}

bool KelTab::isReady() {
    return false;
}

bool KelTab::startWork() {
    return false;
}

void KelTab::finishWork() {}

void KelTab::showSuccess(const QString &text) {
    messageLine->setStyleSheet("color: blue;");
    messageLine->setText(text);
}

void KelTab::showError(const QString &text) {
    messageLine->setStyleSheet("color: red;");
    messageLine->setText(text);
}

bool KelTab::isWorking() {
    return worker != nullptr && worker->isRunning();
}

void KelTab::releaseWorker() {
    if (!isWorking()) {
        return;
    }
    KelThread *old = worker;
    worker = nullptr;
    delete old;
}

void KelTab::pauseWork() {
    if (worker != nullptr) {
        worker->pause();
    }
}

void KelTab::resumeWork() {
    if (worker != nullptr) {
        worker->resume();
    }
}

void KelTab::stopWork() {
    if (worker != nullptr) {
        worker->stop();
    }
    showSuccess(tr("执行中止！"));
}

void KelTab::leaveTab() {}

void KelTab::onThreadStart() {
    emit workStart();
}

void KelTab::setProgress(qint64 position) {
    if (image == nullptr) {
        return;
    }
    const qint64 size = image->fileSize();
    // A size of 0 would divide by zero; no position is meaningful against it.
    if (position < 0 || position > size || size == 0) {
        qWarning() << "Invalid progress position: " << position;
        return;
    }
    // Whole-number arithmetic: a floating ratio turns 29 of 100 into 28 percent.
    progressFill->setFixedHeight(static_cast<int>(position * kProgressHeight / size));
    emit workProgress(position, static_cast<int>(position * 100 / size));
}

void KelTab::onThreadFailed() {
    showError(tr("执行失败！"));
    emit workFailed();
}

void KelTab::onThreadSuccessful() {
    showSuccess(tr("执行成功！"));
    emit workSuccessful();
}

bool KelTab::callHook(QObject *page, const char *hook, bool *answer) {
    const QMetaObject *meta = page->metaObject();
    const int index = meta->indexOfMethod(QByteArray(hook) + "()");
    if (index < 0) {
        return false;
    }
    const QMetaMethod method = meta->method(index);
    return answer ? method.invoke(page, Qt::DirectConnection, Q_RETURN_ARG(bool, *answer))
                  : method.invoke(page, Qt::DirectConnection);
}

void KelTab::adoptWorker(KelThread *newWorker) {
    if (newWorker == worker) {
        return;
    }
    KelThread *old = worker;
    worker = newWorker;
    delete old;
    if (worker == nullptr) {
        return;
    }
    connect(worker, &KelThread::threadIsStart, this, &KelTab::onThreadStart);
    connect(worker, &KelThread::threadIsRunning, this, &KelTab::setProgress);
    connect(worker, &KelThread::threadIsFailed, this, &KelTab::onThreadFailed);
    connect(worker, &KelThread::threadIsSuccessful, this, &KelTab::onThreadSuccessful);
}

bool KelTab::imagePassesCheck() {
    if (image == nullptr || !Settings::instance().checkImageCrc()) {
        return true;
    }
    // An image that passed stays passed while its file is unchanged, so that
    // board after board (auto burn) the image is read only once.
    static QString passed;
    const QFileInfo file(image->path());
    const QString key = file.absoluteFilePath() + QLatin1Char('|') + QString::number(file.size()) +
                        QLatin1Char('|') + QString::number(file.lastModified().toMSecsSinceEpoch());
    if (key == passed) {
        return true;
    }
    showSuccess(tr("正在校验镜像文件 ..."));
    messageLine->repaint();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ImageCheck check;
    check.setCheckCrc(true);
    const bool read = check.run(*image);
    QApplication::restoreOverrideCursor();
    if (!read) {
        qWarning().noquote() << "Cannot check the image:" << check.readError();
        showError(tr("无法读取镜像文件，镜像校验失败！"));
        return false;
    }
    const QStringList bad = check.crcMismatches();
    if (!bad.isEmpty()) {
        qWarning().noquote() << "The image is damaged: the data of"
                             << bad.join(QStringLiteral(", "))
                             << "does not match the CRC-32 of its record";
        showError(tr("镜像文件已损坏：%1 的数据与记录的CRC校验值不符，已拒绝使用！")
                      .arg(bad.join(tr("、"))));
        return false;
    }
    qDebug() << "The image's components match their CRC-32";
    passed = key;
    return true;
}
