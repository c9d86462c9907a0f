// The program's main window: image selection, the burn and card pages, start/stop
// and the status of the current job.
#pragma once

#include <deque>
#include <memory>

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVector>
#include <QWidget>

#include "imagefile.h"

class RecordWriter;

class QCloseEvent;
class QKeyEvent;
class QLabel;
class QTabWidget;
class QTimer;
class KelButton;
class KelCheckBox;
class KelLineEdit;
class KelLogger;
class KelTab;
class DeviceWatcher;
class KelAbout;
class KelLabel;
class KelLogDialog;
class HostProbeLauncher;
class ImgHistoryDialog;
class SettingDialog;
class StatisticDialog;

constexpr int APP_ID = 1;
constexpr int APP_VERSION_MAJOR = 1;
constexpr int APP_VERSION_MINOR = 0;
constexpr int APP_VERSION_RELEASE = 8;

// "1.0.8"
QString appVersionText();

class KelFlash : public QWidget {
    Q_OBJECT

public:
    explicit KelFlash(QWidget *parent = nullptr);
    // Takes the two pages instead of building its own (they become children of the
    // tab widget); a null page is replaced by the default one.
    KelFlash(KelTab *burnPage, KelTab *cardPage, QWidget *parent = nullptr);
    ~KelFlash() override;

    void selectImage(const QString &path);
    void openImageFile();
    void onStartClicked();
    void onDeviceReady(bool isReady);
    void onWorkStart();
    void onWorkProgress(qint64 position, int progress);
    void onWorkFailed();
    void onWorkSuccessful();
    void onTimerTick();
    void onTabChanged(int index);
    // code: a DeviceWatcher change code.
    void onDeviceChange(int code);

    void updateStartButton();
    void restoreIdle();
    void resetStatus();
    static void setLabelValue(QLabel *label, const QString &value,
                              const QString &color = "#335983");
    void logSystemInfo();

    // Secondary actions: tool bar, history, log window, hidden settings.
    void runHostProbe();
    void showStatistics();
    void openFeedback();
    void showAbout();
    void showHistory();
    // Records an image chosen successfully, whether or not the history was opened.
    void recordInHistory(const QString &path);
    void toggleLogWindow(bool checked);
    void showSettings();
    void applySettings();
    // The feedback page for this program and version on the configured server.
    static QUrl feedbackUrl();

    const ImageFile &currentImage() const { return image; }
    bool isImageValid() const { return imageValid; }

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;
    void keyPressEvent(QKeyEvent *event) override;
    // Closing while a page works asks as the stop button does, and closes once
    // the stopped job is over.
    void closeEvent(QCloseEvent *event) override;
    // Keys typed into any control of the window count for the hidden sequence.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KelTab *currentTab() const;
    // Locks what must not change while the current page works: the other tab
    // and the image selection.
    void setWorkingLook(bool working);
    QWidget *buildStatusRow();
    // Opens the board records' writer from the [fleet] settings.
    void openRecords();
    void showSpoolCount(int count);
    QWidget *buildFileRow();
    QWidget *buildInfoRow();
    void buildToolBar();
    void placeToolBar();
    // The log window, built on first use with what was logged before.
    KelLogDialog *ensureLogDialog();
    void showLogMessage(QtMsgType type, const QString &msg);

    // The page that works now, if any.
    KelTab *workingTab() const;
    // The whole header value as the tool tip of a label too narrow to show it.
    void updateInfoTip(QLabel *label);
    void closeWhenIdle();

    bool imageValid = false;
    // The last job's result stays in the status row until the next job starts
    // or the page says it no longer applies.
    bool resultHeld = false;
    // The operator agreed to close while a job ran; the window closes once it
    // has stopped.
    bool closeAfterStop = false;
    QTimer *closeTimer = nullptr;
    // A key a control of the window received, already looked at for the hidden
    // sequence before it reaches the window itself.
    const QEvent *childKey = nullptr;
    ulong childKeyStamp = 0;
    QDateTime workStartTime;
    int elapsedSeconds = 0;
    QString keyBuffer;
    KelLogger *logger = nullptr;
    ImageFile image;
    QTimer *timer = nullptr;
    QTabWidget *tabWidget = nullptr;
    KelTab *burnTab = nullptr;
    KelTab *cardTab = nullptr;
    QLabel *progressLabel = nullptr;
    QLabel *rateLabel = nullptr;
    QLabel *timeLabel = nullptr;
    QLabel *resultLabel = nullptr;
    // How many board records wait for the fleet database; hidden at 0.
    QLabel *spoolLabel = nullptr;
    // Every job's record goes through it, off the window's thread.
    std::unique_ptr<RecordWriter> records;
    KelLineEdit *pathEdit = nullptr;
    KelButton *historyBtn = nullptr;
    KelButton *openBtn = nullptr;
    KelButton *startBtn = nullptr;
    QWidget *imgInfo = nullptr;
    QLabel *socLabel = nullptr;
    QLabel *boardLabel = nullptr;
    QLabel *versionLabel = nullptr;
    QLabel *mediaLabel = nullptr;
    KelCheckBox *logCheckBox = nullptr;
    KelLogDialog *logDialog = nullptr;
    // Messages logged while the log window does not exist yet, as many as the
    // window would keep (a station may run for days without opening it).
    struct PendingLogLine {
        QtMsgType type;
        QString text;
    };
    std::deque<PendingLogLine> pendingLog;
    KelAbout *about = nullptr;
    KelLabel *statisticLabel = nullptr;
    QWidget *functionBtn = nullptr;
    ImgHistoryDialog *historyDialog = nullptr;
    StatisticDialog *statisticDialog = nullptr;
    SettingDialog *settingDialog = nullptr;
    HostProbeLauncher *hostProbe = nullptr;
    DeviceWatcher *deviceWatcher = nullptr;
    bool libraryReady = false;
};
