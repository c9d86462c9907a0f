// The about box: program name and version, build time, the maker's web address
// and logo, and on request a button that checks for a newer release.
#pragma once

#include <QString>

class QLabel;

#include "keldialog.h"
#include "kelui_global.h"

class KelButton;
class KelComboBox;
class KelLabel;
class KelVersionTool;

class KELUI_EXPORT KelAbout : public KelDialog {
    Q_OBJECT

public:
    // buildStamp: the compiler's date and time run together ("Mar  5 2026" then
    // "14:03:59"), as __DATE__ __TIME__ give them.
    KelAbout(const QString &name, QString buildStamp, QWidget *parent = nullptr);

    void setAppInfo(int appId, int major, int minor, int release);
    void showUpdateBtn();
    // Deployment values: the version server's base address (scheme, host, port)
    // and the maker's web address shown in the box.
    void setServerUrl(const QString &url);
    void setWebsite(const QString &url);
    // Shows the interface language choice ("zh" or "en") set to `current`. A
    // change is announced by languageChosen(); the program stores it, and it
    // takes effect at the next start, as the box then says.
    void showLanguageChoice(const QString &current);

    // "yyyy-MM-dd hh:mm:ss", or the stamp as given when it cannot be read.
    static QString buildTimeText(const QString &buildStamp);
    // The version tool, once the update button was used.
    KelVersionTool *versionTool() const { return tool; }
    KelButton *updateButton() const { return updateBtn; }

public slots:
    void onUpdateBtnClicked();

signals:
    void languageChosen(const QString &language);

private:
    int appId = -1;
    int major = -1, minor = -1, release = -1;
    QString serverUrl;
    QString website;
    KelLabel *websiteLabel = nullptr;
    KelButton *updateBtn = nullptr;
    QWidget *languageRow = nullptr;
    KelComboBox *languageBox = nullptr;
    QLabel *languageNote = nullptr;
    KelVersionTool *tool = nullptr;
};
