#include "kellogdialog.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextEdit>
#include <QUrl>
#include <QVBoxLayout>

#include "fontawesome.h"
#include "kelbutton.h"
#include "kelcombobox.h"
#include "kelscrollbarstyle.h"

namespace {

constexpr int kMinFontSize = 12;
constexpr int kMaxFontSize = 30;

// QtMsgType is not in level order (info comes last); the table is indexed by it.
int colorIndex(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return 0;
        case QtWarningMsg:
            return 1;
        case QtCriticalMsg:
            return 2;
        case QtFatalMsg:
            return 3;
        case QtInfoMsg:
            return 4;
    }
    return 0;
}

QString prefixFor(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return QStringLiteral("[debug] ");
        case QtWarningMsg:
            return QStringLiteral("[warn ] ");
        case QtCriticalMsg:
            return QStringLiteral("[error] ");
        case QtFatalMsg:
            return QStringLiteral("[fatal] ");
        case QtInfoMsg:
            return QStringLiteral("[info ] ");
    }
    return QString();
}

KelButton *toolButton(int glyph, const QString &toolTip, QWidget *parent) {
    KelButton *button = new KelButton(parent);
    FontAwesome::getInstance()->setButtonIcon(button, FontAwesome::IconIdentity(glyph));
    button->setToolTip(toolTip);
    return button;
}

}  // namespace

KelLogDialog::KelLogDialog(QWidget *parent) : KelDialog(parent, true) {
    setTitle(tr("日志"));
    setTitleButtonType(KelTitleBar::MinMaxButton);
    colors[colorIndex(QtDebugMsg)] = QColor(51, 51, 51);
    colors[colorIndex(QtWarningMsg)] = QColor(175, 168, 46);
    colors[colorIndex(QtCriticalMsg)] = QColor(Qt::red);
    colors[colorIndex(QtFatalMsg)] = QColor(255, 127, 39);
    colors[colorIndex(QtInfoMsg)] = QColor(Qt::blue);

    view = new QTextEdit(this);
    view->setObjectName("logText");
    view->setReadOnly(true);
    // A station runs for days and the scans log every second: the view keeps the
    // newest lines only (the log file keeps them all).
    view->document()->setMaximumBlockCount(kMaxLines);
    view->setStyleSheet(QString::fromLatin1(kelScrollBarStyle) +
                        " QTextEdit {border: 1px solid #ccc;}");

    KelButton *topBtn = toolButton(0xF062, tr("滚动至顶部"), this);
    topBtn->setObjectName("log_top_btn");
    KelButton *bottomBtn = toolButton(0xF063, tr("滚动至底部"), this);
    bottomBtn->setObjectName("log_bottom_btn");
    KelButton *fileBtn = toolButton(0xF15C, tr("打开日志文件"), this);
    fileBtn->setObjectName("log_file_btn");
    fontSizeBox = new KelComboBox(this);
    fontSizeBox->setObjectName("log_font_size");
    for (int size = kMinFontSize; size <= kMaxFontSize; ++size) {
        fontSizeBox->addItem(QString::number(size), size);
    }
    KelButton *clearBtn = new KelButton(tr("清空"), this);
    clearBtn->setObjectName("log_clear_btn");

    QHBoxLayout *tools = new QHBoxLayout;
    tools->setContentsMargins(0, 0, 0, 0);
    tools->setSpacing(5);
    tools->addWidget(topBtn);
    tools->addWidget(bottomBtn);
    tools->addSpacing(10);
    tools->addWidget(fileBtn);
    tools->addSpacing(10);
    tools->addWidget(new QLabel(tr("字体大小"), this));
    tools->addWidget(fontSizeBox);
    tools->addStretch(1);
    tools->addWidget(clearBtn);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(view, 1);
    layout->addLayout(tools);
    setContentLayout(layout);

    // The combo starts at the size the view already has, so choosing nothing
    // changes nothing.
    const int current = QFontInfo(view->font()).pixelSize();
    const int index = fontSizeBox->findData(qBound(kMinFontSize, current, kMaxFontSize));
    fontSizeBox->setCurrentIndex(index);

    connect(topBtn, &KelButton::clicked, this, [this] { view->moveCursor(QTextCursor::Start); });
    connect(bottomBtn, &KelButton::clicked, this, [this] { view->moveCursor(QTextCursor::End); });
    connect(fileBtn, &KelButton::clicked, this, [this] {
        // Without a handler for text files the click would otherwise do nothing.
        if (logFile.isEmpty()) {
            KelDialog::alert(this, tr("没有日志文件"), true);
        } else if (!openLogFile()) {
            KelDialog::alert(this, tr("无法打开日志文件：未找到可用的程序\n") + logFile, true);
        }
    });
    connect(clearBtn, &KelButton::clicked, this, &KelLogDialog::clearLog);
    connect(fontSizeBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int i) { setFontPixelSize(fontSizeBox->itemData(i).toInt()); });
}

void KelLogDialog::appendText(QtMsgType type, const QString &text, bool withPrefix) {
    const QString prefix = withPrefix ? prefixFor(type) : QString();
    // The messages are plain text: a "<" in one (a path, a comparison) must show as
    // itself, not start a tag that swallows the rest of the line.
    QString line = QStringLiteral("<span style=\"color: ") + textColor(type).name() +
                   QStringLiteral("\">") + (prefix + text).toHtmlEscaped() +
                   QStringLiteral("</span>");
    if (text.startsWith(QLatin1Char('\n'))) {
        line.prepend(QStringLiteral("<br/></br>"));
    } else {
        line.replace(QLatin1Char('\n'), QStringLiteral("<br/></br>"));
    }
    view->append(line);
    view->moveCursor(QTextCursor::End);
}

void KelLogDialog::setTextColor(QtMsgType type, QColor color) {
    colors[colorIndex(type)] = color;
}

QColor KelLogDialog::textColor(QtMsgType type) const {
    return colors[colorIndex(type)];
}

void KelLogDialog::setLogFilePath(const QString &path) {
    logFile = path;
}

void KelLogDialog::clearLog() {
    view->clear();
}

bool KelLogDialog::openLogFile() {
    if (logFile.isEmpty()) {
        return false;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(logFile).absoluteFilePath()));
}

void KelLogDialog::setFontPixelSize(int size) {
    QFont font = view->font();
    font.setPixelSize(size);
    view->setFont(font);
}
