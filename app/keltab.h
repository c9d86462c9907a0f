// Base of the main window's tab pages (burn tab, card tab).
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include "boardrecord.h"

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

    // A hook only one page has (the burn page's partition tree, the card
    // page's format) is that page's own slot; the window calls it by name with
    // callHook, and a page without it has nothing to do there.

signals:
    void deviceReady(bool isReady);
    void workStart();
    void workProgress(qint64 position, int progress);
    void workFailed();
    void workSuccessful();
    // The last job's result no longer applies (the operator changed how the
    // device is reached); the window clears the status it kept of it.
    void resultCleared();
    // A job has ended, whatever its outcome: its record, for the window to
    // keep.
    void jobRecord(const BoardRecord &record);

public:
    // Calls the page's slot `hook` (no arguments) if it has one; false if not.
    // A hook that answers a bool puts its answer into *answer.
    static bool callHook(QObject *page, const char *hook, bool *answer = nullptr);

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
