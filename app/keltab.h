// Base of the main window's tab pages (burn tab, card tab).
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

class ImageFile;
class KelThread;

// One interface for the main window to every page, plus what the pages share: the
// current image, the page's worker, the progress box and the message line. The
// pages place `progressBox` and `messageLine` in their own layouts.
class KelTab : public QWidget {
    Q_OBJECT

public:
    explicit KelTab(QWidget *parent = nullptr);
    // Destroys a worker that is still running, which waits for its thread.
    ~KelTab() override;

    ImageFile *currentImage() const { return image; }
    KelThread *currentWorker() const { return worker; }
    QString message() const { return messageLine->text(); }

public slots:
    virtual void setImage(ImageFile *image);
    virtual void scanDevices();
    virtual bool isReady();
    virtual bool startWork();
    virtual void finishWork();
    virtual void showSuccess(const QString &text);
    virtual void showError(const QString &text);
    virtual bool isWorking();
    virtual void releaseWorker();
    // pauseWork, resumeWork and stopWork are meant for a page that is working.
    virtual void pauseWork();
    virtual void resumeWork();
    virtual void stopWork();
    virtual void leaveTab();
    virtual void onThreadStart();
    virtual void setProgress(qint64 position);
    virtual void onThreadFailed();
    virtual void onThreadSuccessful();

    // What the window asks of the burn page or of the card page only. Each page
    // overrides what it has; the others keep these defaults, which do nothing.
    // The image's partition list changed.
    virtual void refreshPartitionTree() {}
    // The connection type of the settings is to be applied.
    virtual void reapplyConnectType() {}
    // The image changed: compare it with the selected card's mark.
    virtual void showCardImage() {}
    // A job that the window may not interrupt (the card format) is running.
    virtual bool isFormatting() { return false; }
    // Whether auto-burn may start on the device that was just reported ready; a
    // page that knows the device's history says no where it must not be burnt
    // again by itself.
    virtual bool mayAutoStart() { return true; }

signals:
    void deviceReady(bool isReady);
    void workStart();
    void workProgress(qint64 position, int progress);
    void workFailed();
    void workSuccessful();
    // The last job's result no longer applies (the operator changed how the
    // device is reached); the window clears the status it kept of it.
    void resultCleared();

protected:
    // Makes `newWorker` the page's worker: destroys the previous one (waiting for it
    // if it still runs) and relays the new worker's four signals to this page.
    void adoptWorker(KelThread *newWorker);
    // With the image check of the hidden settings on: reads the image once and
    // compares every component with its record's CRC-32. False, with the reason
    // on the message line, when the image must not be used.
    bool imagePassesCheck();

    ImageFile *image = nullptr;
    KelThread *worker = nullptr;
    QLabel *progressFill;
    QWidget *progressBox;
    QLabel *messageLine;
};
