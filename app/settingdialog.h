// The hidden debug settings: auto burn, the statistics button, verbose log, the
// retry count, and checksum verification of burnt components.
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

signals:
    void settingChanged();

private:
    KelSwitch *autoBurn = nullptr;
    KelSwitch *showStatistic = nullptr;
    KelSwitch *verbose = nullptr;
    KelSpinBox *retry = nullptr;
    KelSwitch *verify = nullptr;
};
