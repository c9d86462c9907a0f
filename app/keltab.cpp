#include "keltab.h"

#include "imagefile.h"
#include "kelthread.h"

#include <QDebug>
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
    showSuccess("执行中止！");
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
    showError("执行失败！");
    emit workFailed();
}

void KelTab::onThreadSuccessful() {
    showSuccess("执行成功！");
    emit workSuccessful();
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
