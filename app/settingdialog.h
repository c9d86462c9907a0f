// The hidden debug settings: auto burn, the statistics button, verbose log, the
// retry count, checksum verification of burnt components, and the image's own
// CRC check before a job.
#pragma once

#include "keldialog.h"

class KelSpinBox;
class KelSwitch;

class SettingDialog : public KelDialog {
    Q_OBJECT

public:
    explicit SettingDialog(QWidget *parent = nullptr);

    // Sets the controls from the settings store.
    void loadValues();
    // Stores the controls' values (what the save button does).
    void saveValues();

    KelSwitch *autoBurnSwitch() const { return autoBurn; }
    KelSwitch *statisticSwitch() const { return showStatistic; }
    KelSwitch *verboseSwitch() const { return verbose; }
    KelSpinBox *retrySpinBox() const { return retry; }
    KelSwitch *verifySwitch() const { return verify; }
    KelSwitch *checkCrcSwitch() const { return checkCrc; }

signals:
    void settingChanged();

private:
    KelSwitch *autoBurn = nullptr;
    KelSwitch *showStatistic = nullptr;
    KelSwitch *verbose = nullptr;
    KelSpinBox *retry = nullptr;
    KelSwitch *verify = nullptr;
    KelSwitch *checkCrc = nullptr;
};
