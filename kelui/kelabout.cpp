#include "kelabout.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QUrl>
#include <QVBoxLayout>

#include "kelbutton.h"
#include "kelcombobox.h"
#include "kellabel.h"
#include "kelversiontool.h"

namespace {
// A placeholder until the host program gives the maker's address.
const char *const kDefaultWebsite = "http://www.kelvora.example";
}  // namespace

KelAbout::KelAbout(const QString &name, QString buildStamp, QWidget *parent)
    : KelDialog(parent, true), website(kDefaultWebsite) {
    setTitle(tr("关于"));

    QLabel *nameLabel = new QLabel(
        "<span style=\"font-size: 16px; font-weight: bold;\">" + name.toHtmlEscaped() + "</span>",
        this);
    nameLabel->setObjectName("about_name");
    QLabel *builtLabel = new QLabel("Built on " + buildTimeText(buildStamp), this);
    builtLabel->setObjectName("about_built");
    websiteLabel = new KelLabel(website, this);
    websiteLabel->setObjectName("about_website");
    websiteLabel->setCursor(Qt::PointingHandCursor);
    websiteLabel->setStyleSheet(
        "KelLabel {color: #15499a;text-decoration: underline;}KelLabel:hover {color: blue;}");
    connect(websiteLabel, &KelLabel::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl(website)); });

    QLabel *logo = new QLabel(this);
    logo->setPixmap(QPixmap(":image/Kelvora.png"));
    QLabel *notice = new QLabel("Copyright © Kelvora. All rights reserved.", this);
    notice->setObjectName("about_notice");
    notice->setStyleSheet("color: #666;");

    updateBtn = new KelButton(tr("检查更新"), this);
    updateBtn->setObjectName("about_update_btn");
    updateBtn->hide();
    connect(updateBtn, &KelButton::clicked, this, &KelAbout::onUpdateBtnClicked);
    KelButton *closeBtn = new KelButton(tr("关闭"), this);
    closeBtn->setObjectName("about_close_btn");
    closeBtn->setFixedWidthForText(50);
    connect(closeBtn, &KelButton::clicked, this, &KelAbout::close);

    // Each language is offered under its own name.
    languageRow = new QWidget(this);
    languageRow->hide();
    languageBox = new KelComboBox(languageRow);
    languageBox->setObjectName("about_language");
    languageBox->addItem(QStringLiteral("中文"), QStringLiteral("zh"));
    languageBox->addItem(QStringLiteral("English"), QStringLiteral("en"));
    languageNote = new QLabel(tr("下次启动时生效"), languageRow);
    languageNote->setObjectName("about_language_note");
    languageNote->setStyleSheet("color: #666;");
    languageNote->hide();
    QHBoxLayout *languageLayout = new QHBoxLayout(languageRow);
    languageLayout->setContentsMargins(0, 0, 0, 0);
    languageLayout->setSpacing(8);
    languageLayout->addWidget(new QLabel(tr("语言："), languageRow));
    languageLayout->addWidget(languageBox);
    languageLayout->addWidget(languageNote);
    languageLayout->addStretch(1);
    connect(languageBox, &KelComboBox::indexChanged, this, [this](int, int index) {
        languageNote->show();
        emit languageChosen(languageBox->itemData(index).toString());
    });

    QVBoxLayout *text = new QVBoxLayout;
    text->setContentsMargins(0, 0, 0, 0);
    text->setSpacing(8);
    text->addWidget(nameLabel);
    text->addWidget(builtLabel);
    text->addWidget(websiteLabel);
    text->addWidget(languageRow);
    text->addStretch(1);
    QHBoxLayout *top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(20);
    top->addLayout(text, 1);
    top->addWidget(logo, 0, Qt::AlignTop);

    QHBoxLayout *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(10);
    buttons->addWidget(notice, 1);
    buttons->addWidget(updateBtn);
    buttons->addWidget(closeBtn);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(15);
    layout->addLayout(top);
    layout->addLayout(buttons);
    setContentLayout(layout);
    adjustSize();
}

QString KelAbout::buildTimeText(const QString &buildStamp) {
    // "Mar  5 2026" is 11 characters; the time follows without a separator.
    QString date = buildStamp.left(11);
    const QString time = buildStamp.mid(11).trimmed();
    date.replace(QStringLiteral("  "), QStringLiteral(" 0"));
    const QDateTime when = QLocale(QLocale::English)
                               .toDateTime(date + QLatin1Char(' ') + time,
                                           QStringLiteral("MMM dd yyyy hh:mm:ss"));
    if (!when.isValid()) {
        return buildStamp;
    }
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

void KelAbout::setAppInfo(int id, int maj, int min, int rel) {
    appId = id;
    major = maj;
    minor = min;
    release = rel;
    if (tool) {
        tool->setAppId(appId);
        tool->setCurVersion(major, minor, release);
    }
}

void KelAbout::showUpdateBtn() {
    updateBtn->show();
    adjustSize();
}

void KelAbout::setServerUrl(const QString &url) {
    serverUrl = url;
    if (tool) {
        tool->setServerUrl(url);
    }
}

void KelAbout::setWebsite(const QString &url) {
    website = url;
    websiteLabel->setText(url);
}

void KelAbout::showLanguageChoice(const QString &current) {
    const int index = languageBox->findData(current == QLatin1String("en") ? QStringLiteral("en")
                                                                           : QStringLiteral("zh"));
    const QSignalBlocker quiet(languageBox);
    languageBox->setCurrentIndex(index);
    languageRow->show();
    adjustSize();
}

void KelAbout::onUpdateBtnClicked() {
    if (!tool) {
        tool = new KelVersionTool(this);
        tool->setAppId(appId);
        tool->setCurVersion(major, minor, release);
        if (!serverUrl.isEmpty()) {
            tool->setServerUrl(serverUrl);
        }
    }
    tool->checkLastVersion();
}
