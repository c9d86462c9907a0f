// The main window's secondary actions: the tool bar, the image history, the log
// window and the hidden settings.
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>

#include "fontawesome.h"
#include "hostprobelauncher.h"
#include "imghistorydialog.h"
#include "kelabout.h"
#include "kelcheckbox.h"
#include "keldialog.h"
#include "kelflash.h"
#include "kellabel.h"
#include "kellogdialog.h"
#include "kellogger.h"
#include "settingdialog.h"
#include "settings.h"
#include "statisticdialog.h"

namespace {

// Deployment values in the settings file; the defaults resolve nowhere.
const char *const kDeployGroup = "deploy";
const char *const kFeedbackServerKey = "feedback_server";
const char *const kVersionServerKey = "version_server";
const char *const kWebsiteKey = "website";
const char *const kDefaultFeedbackServer = "http://feedback.kelvora.invalid:8080";
const char *const kDefaultVersionServer = "http://versions.kelvora.invalid:8080";
const char *const kDefaultWebsite = "http://www.kelvora.example";

const char *const kSettingsSequence = "vqj";
const int kKeyBufferMax = 10;

QString deployValue(const char *key, const char *fallback) {
    QString value = Settings::instance().value(kDeployGroup, key).trimmed();
    if (value.isEmpty()) {
        value = QString::fromLatin1(fallback);
    }
    while (value.endsWith(QLatin1Char('/'))) {
        value.chop(1);
    }
    return value;
}

}  // namespace

void KelFlash::buildToolBar() {
    functionBtn = new QWidget(this);
    functionBtn->setObjectName("functionBtn");
    QHBoxLayout *layout = new QHBoxLayout(functionBtn);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    auto makeLabel = [&](const QString &toolTip, int glyph, const char *objectName) {
        KelLabel *label = new KelLabel(functionBtn);
        label->setCursor(Qt::PointingHandCursor);
        label->setToolTip(toolTip);
        FontAwesome::getInstance()->setLabelIcon(label, FontAwesome::IconIdentity(glyph));
        if (objectName) {
            label->setObjectName(objectName);
        }
        layout->addWidget(label);
        return label;
    };
    KelLabel *probeLabel = makeLabel(tr("检查环境"), 0xF0FA, nullptr);
    statisticLabel = makeLabel(tr("统计"), 0xF080, "statisticBtn");
    KelLabel *feedbackLabel = makeLabel(tr("反馈"), 0xF0E0, "feedbackBtn");
    KelLabel *aboutLabel = makeLabel(tr("关于"), 0xF29C, "aboutBtn");
    connect(probeLabel, &KelLabel::clicked, this, &KelFlash::runHostProbe);
    connect(statisticLabel, &KelLabel::clicked, this, &KelFlash::showStatistics);
    connect(feedbackLabel, &KelLabel::clicked, this, &KelFlash::openFeedback);
    connect(aboutLabel, &KelLabel::clicked, this, &KelFlash::showAbout);

    statisticLabel->setVisible(Settings::instance().showStatistic());
    placeToolBar();
}

void KelFlash::placeToolBar() {
    // Right-aligned whatever the number of icons: 10 pixels inside the right edge.
    functionBtn->ensurePolished();
    for (QWidget *child : functionBtn->findChildren<QWidget *>()) {
        child->ensurePolished();
    }
    functionBtn->adjustSize();
    functionBtn->move(790 - functionBtn->width(), 12);
    functionBtn->raise();
}

KelLogDialog *KelFlash::ensureLogDialog() {
    if (logDialog) {
        return logDialog;
    }
    // Built when the operator first opens it, not with the window: it is a
    // whole dialog with a rich-text view, and most runs never show it. What was
    // logged meanwhile was kept for it.
    logDialog = new KelLogDialog(this);
    logDialog->setDragResizable(true);
    logDialog->setMinimumSize(800, 200);
    logDialog->setProperty("isLocated", false);
    logDialog->setLogFilePath(logger ? logger->logFilePath() : QString());
    connect(logDialog, &KelDialog::closed, this, [this] { logCheckBox->setChecked(false); });
    for (const PendingLogLine &line : pendingLog) {
        logDialog->appendText(line.type, line.text, true);
    }
    pendingLog = {};
    return logDialog;
}

void KelFlash::showLogMessage(QtMsgType type, const QString &msg) {
    if (logDialog) {
        logDialog->appendText(type, msg, true);
    } else {
        if (pendingLog.size() >= KelLogDialog::kMaxLines) {
            pendingLog.pop_front();
        }
        pendingLog.push_back({type, msg});
    }
}

void KelFlash::runHostProbe() {
    if (!hostProbe) {
        hostProbe = new HostProbeLauncher(this);
        // The operator may still decline the password prompt after the start.
        connect(hostProbe, &HostProbeLauncher::failed, this, [this](const QString &reason) {
            KelDialog::alert(this, tr("无法启动检测工具：") + reason, true);
        });
    }
    // Only the one installed beside the program: it runs as root, and the search
    // path is the operator's to change.
    const QString program = QCoreApplication::applicationDirPath() + "/HostProbe";
    QString reason;
    if (!hostProbe->start(program, &reason)) {
        KelDialog::alert(this, tr("无法启动检测工具：") + reason, true);
    }
}

void KelFlash::showStatistics() {
    if (!statisticDialog) {
        statisticDialog = new StatisticDialog(this);
    }
    statisticDialog->refresh();
    statisticDialog->show();
}

QUrl KelFlash::feedbackUrl() {
    return QUrl(deployValue(kFeedbackServerKey, kDefaultFeedbackServer) +
                "/api/feedback_edit?app_id=" + QString::number(APP_ID) +
                "&version_no=" + appVersionText());
}

void KelFlash::openFeedback() {
    if (!QDesktopServices::openUrl(feedbackUrl())) {
        KelDialog::alert(this, tr("无法打开反馈页面：未找到可用的浏览器"), true);
    }
}

void KelFlash::showAbout() {
    if (!about) {
        about = new KelAbout(windowTitle(), QStringLiteral(__DATE__ __TIME__), this);
        about->setWebsite(deployValue(kWebsiteKey, kDefaultWebsite));
        about->setServerUrl(deployValue(kVersionServerKey, kDefaultVersionServer));
        about->showUpdateBtn();
        about->setAppInfo(APP_ID, APP_VERSION_MAJOR, APP_VERSION_MINOR, APP_VERSION_RELEASE);
        about->showLanguageChoice(Settings::instance().language());
        connect(about, &KelAbout::languageChosen, this, [this](const QString &language) {
            Settings::instance().setLanguage(language);
            if (!Settings::instance().lastWriteOk()) {
                KelDialog::alert(this, tr("无法保存设置：设置文件不可写"), true);
            }
        });
    }
    about->show();
}

void KelFlash::showHistory() {
    if (!historyDialog) {
        historyDialog = new ImgHistoryDialog(this);
        connect(historyDialog, &ImgHistoryDialog::imgSelected, this, &KelFlash::selectImage);
    }
    historyDialog->refreshList();
    historyDialog->show();
}

void KelFlash::recordInHistory(const QString &path) {
    const HistoryRecord record{path,
                               QDateTime::currentDateTime().toString("yyyy-MM-dd_hh:mm:ss")};
    if (historyDialog) {
        historyDialog->addRecord(record);
        return;
    }
    // The history dialog has not been opened in this run: the record goes straight
    // into the file. A file that exists but cannot be read is left alone, rather
    // than replaced by a history of one image.
    HistoryList history;
    if (history.load()) {
        history.add(record);
        history.save();
    }
}

void KelFlash::toggleLogWindow(bool checked) {
    if (!checked) {
        if (logDialog) {
            logDialog->hide();
        }
        return;
    }
    ensureLogDialog();
    if (!logDialog->property("isLocated").toBool()) {
        // Under the window, as wide as it; afterwards the dialog stays where the
        // operator puts it.
        const QRect frame = frameGeometry();
        logDialog->setGeometry(frame.left(), frame.bottom() + 3, frame.width(),
                               logDialog->minimumHeight());
        logDialog->setProperty("isLocated", true);
    }
    logDialog->show();
}

void KelFlash::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (key == Qt::Key_Return) {
        const bool match = keyBuffer.toLower() == QLatin1String(kSettingsSequence);
        keyBuffer.clear();
        if (match) {
            showSettings();
        }
        return;
    }
    const bool letterOrDigit = (key >= Qt::Key_0 && key <= Qt::Key_9) ||
                               (key >= Qt::Key_A && key <= Qt::Key_Z);
    if (letterOrDigit && keyBuffer.size() < kKeyBufferMax) {
        keyBuffer += event->text();
    }
}

void KelFlash::showSettings() {
    if (!settingDialog) {
        settingDialog = new SettingDialog(this);
        connect(settingDialog, &SettingDialog::settingChanged, this, &KelFlash::applySettings);
    }
    settingDialog->loadValues();
    settingDialog->show();
}

void KelFlash::applySettings() {
    statisticLabel->setVisible(Settings::instance().showStatistic());
    placeToolBar();
}
