#include "settingdialog.h"

#include <QFormLayout>
#include <QVBoxLayout>

#include "kelbutton.h"
#include "kelspinbox.h"
#include "kelswitch.h"
#include "settings.h"

namespace {
constexpr int kMinRetry = 1;
constexpr int kMaxRetry = 5;
}  // namespace

SettingDialog::SettingDialog(QWidget *parent) : KelDialog(parent, true) {
    setTitle(tr("Debug设置"));
    setFixedWidth(300);

    autoBurn = new KelSwitch(this);
    autoBurn->setObjectName("auto_burn_switch");
    showStatistic = new KelSwitch(this);
    showStatistic->setObjectName("show_statistic_switch");
    verbose = new KelSwitch(this);
    verbose->setObjectName("verbose_switch");
    retry = new KelSpinBox(this);
    retry->setObjectName("retry_spinbox");
    retry->setRange(kMinRetry, kMaxRetry);
    retry->setValue(kMinRetry);
    retry->setEditable(false);
    verify = new KelSwitch(this);
    verify->setObjectName("verify_switch");
    checkCrc = new KelSwitch(this);
    checkCrc->setObjectName("check_crc_switch");

    QFormLayout *form = new QFormLayout;
    form->setContentsMargins(0, 0, 0, 0);
    form->setSpacing(10);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->addRow(tr("自动烧写"), autoBurn);
    form->addRow(tr("显示统计按钮"), showStatistic);
    form->addRow(tr("详细日志"), verbose);
    form->addRow(tr("失败重传次数"), retry);
    form->addRow(tr("烧写后校验"), verify);
    form->addRow(tr("烧写前校验镜像"), checkCrc);

    KelButton *saveBtn = new KelButton(tr("保存"), this);
    saveBtn->setObjectName("setting_save_btn");
    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(10);
    layout->addLayout(form);
    layout->addWidget(saveBtn);
    setContentLayout(layout);
    adjustSize();

    connect(saveBtn, &KelButton::clicked, this, [this] {
        saveValues();
        emit settingChanged();
    });
}

void SettingDialog::loadValues() {
    Settings &settings = Settings::instance();
    autoBurn->setChecked(settings.autoBurn());
    showStatistic->setChecked(settings.showStatistic());
    verbose->setChecked(settings.isVerbose());
    verify->setChecked(settings.verifyChecksum());
    checkCrc->setChecked(settings.checkImageCrc());
    // Nothing stored (0) or a hand-edited value out of range keeps what is shown.
    const int count = settings.retryCount();
    if (count >= kMinRetry && count <= kMaxRetry) {
        retry->setValue(count);
    }
}

void SettingDialog::saveValues() {
    Settings &settings = Settings::instance();
    settings.setAutoBurn(autoBurn->checked());
    settings.setShowStatistic(showStatistic->checked());
    settings.setVerbose(verbose->checked());
    settings.setVerifyChecksum(verify->checked());
    settings.setCheckImageCrc(checkCrc->checked());
    settings.setRetryCount(retry->getValue());
}
