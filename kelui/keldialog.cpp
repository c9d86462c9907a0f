#include "keldialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include "kelbutton.h"
#include "kelframe.h"
#include "kelspinner.h"

namespace {

QPointer<KelDialog> &loadingBox() {
    static QPointer<KelDialog> box;
    return box;
}

QLabel *separator(QWidget *parent) {
    QLabel *line = new QLabel(parent);
    line->setFixedHeight(1);
    line->setStyleSheet("background: #ddd;");
    return line;
}

KelDialog *messageFrame(QWidget *parent, const QString &title, const QString &text,
                        QVBoxLayout **layoutOut) {
    KelDialog *dialog = new KelDialog(parent, true);
    dialog->setFixedWidth(300);
    dialog->setTitle(title);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setSpacing(10);
    QLabel *label = new QLabel(text);
    label->setObjectName("message_text");
    label->setWordWrap(true);
    layout->addWidget(label, 1);
    layout->addWidget(separator(dialog));
    *layoutOut = layout;
    return dialog;
}

}  // namespace

KelDialog::KelDialog(QWidget *parent, bool hasTitleBar) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);

    QVBoxLayout *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (hasTitleBar) {
        bar = new KelTitleBar(this);
        bar->setButtonType(KelTitleBar::CloseButtonOnly);
        layout->addWidget(bar);
    }
    content = new QWidget(this);
    content->setObjectName("dialog_content");
    content->setAttribute(Qt::WA_StyledBackground);
    content->setStyleSheet(
        "#dialog_content { background: #fcfcfc; border-bottom-left-radius: 4px;"
        " border-bottom-right-radius: 4px; border: 1px solid #83a6d9; border-top: none; }");
    layout->addWidget(content, 1);
}

void KelDialog::setTitle(const QString &title) {
    // The window system names the dialog too (task lists, window tools).
    setWindowTitle(title);
    if (bar) {
        bar->setTitleText(title);
    }
}

void KelDialog::setTitleButtonType(KelTitleBar::ButtonType type) {
    if (bar) {
        bar->setButtonType(type);
    }
}

void KelDialog::setContentLayout(QLayout *layout) {
    content->setLayout(layout);
}

void KelDialog::setContentStyleSheet(const QString &styleSheet) {
    content->setStyleSheet(styleSheet);
}

void KelDialog::setDragResizable(bool resizable) {
    dragResizable = resizable;
    KelFrame::setResizable(this, resizable);
}

void KelDialog::closeEvent(QCloseEvent *event) {
    emit closed(event);
}

bool KelDialog::nativeEvent(const QByteArray &eventType, void *message, long *result) {
    if (dragResizable &&
        KelFrame::handleNativeEvent(this, dragResizable, eventType, message, result)) {
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

void KelDialog::alert(QWidget *parent, const QString &title, const QString &text, bool modal) {
    QVBoxLayout *layout;
    KelDialog *dialog = messageFrame(parent, title, text, &layout);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(modal);

    KelButton *ok = new KelButton(tr("确定"));
    ok->setObjectName("alert_ok_btn");
    ok->setFixedWidthForText(80);
    layout->addWidget(ok, 0, Qt::AlignRight);
    connect(ok, &KelButton::clicked, dialog, &KelDialog::close);

    dialog->setContentLayout(layout);
    dialog->adjustSize();
    dialog->show();
}

void KelDialog::alert(QWidget *parent, const QString &text, bool modal) {
    alert(parent, tr("提示"), text, modal);
}

int KelDialog::confirm(QWidget *parent, const QString &text) {
    QVBoxLayout *layout;
    KelDialog *dialog = messageFrame(parent, tr("操作确认"), text, &layout);

    QHBoxLayout *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(15);
    row->addStretch(1);
    KelButton *ok = new KelButton(tr("确定"));
    ok->setObjectName("confirm_ok_btn");
    ok->setFixedWidthForText(80);
    KelButton *cancel = new KelButton(tr("取消"));
    cancel->setObjectName("confirm_cancel_btn");
    cancel->setFixedWidthForText(80);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
    connect(ok, &KelButton::clicked, dialog, &KelDialog::accept);
    connect(cancel, &KelButton::clicked, dialog, &KelDialog::reject);

    dialog->setContentLayout(layout);
    dialog->adjustSize();
    // The parent may go away while the question is open and take the dialog with it.
    QPointer<KelDialog> guard(dialog);
    int result = dialog->exec();
    delete guard.data();
    return result;
}

void KelDialog::info(QWidget *parent, const QString &text, int msec) {
    KelDialog *dialog = new KelDialog(parent, false);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFixedHeight(40);
    dialog->setContentStyleSheet(
        "#dialog_content { background: rgba(0, 0, 0, 0.6); border-radius: 4px; border: none; }");

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    QLabel *label = new QLabel(text);
    label->setObjectName("info_text");
    label->setStyleSheet("padding: 0 10px; color: #fff;");
    layout->addWidget(label);
    dialog->setContentLayout(layout);
    dialog->adjustSize();
    dialog->show();

    if (msec >= 0) {
        QTimer::singleShot(msec, dialog, &KelDialog::close);
    }
}

void KelDialog::loading(QWidget *parent, const QString &text, bool dark) {
    closeLoading();

    KelDialog *dialog = new KelDialog(parent, false);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);

    KelSpinner *spinner = new KelSpinner(30);
    QLabel *label = new QLabel(text);
    label->setObjectName("loading_text");
    label->setAlignment(Qt::AlignCenter);
    QString alpha = "0";
    if (dark) {
        spinner->setColor(QColor("#fcfcfc"));
        label->setStyleSheet("color: #fcfcfc;");
        alpha = "0.6";
    } else {
        label->setStyleSheet("color: #2f2f2f;");
    }
    dialog->setContentStyleSheet(
        QString("#dialog_content { background: rgba(0, 0, 0, %1); border-radius: 5px;"
                " border: none; }")
            .arg(alpha));

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(spinner, 0, Qt::AlignHCenter);
    layout->addWidget(label);
    dialog->setContentLayout(layout);
    dialog->adjustSize();

    loadingBox() = dialog;
    dialog->show();
}

void KelDialog::closeLoading() {
    QPointer<KelDialog> &box = loadingBox();
    if (box) {
        KelDialog *dialog = box;
        box = nullptr;
        dialog->close();
    }
}

KelDialog *KelDialog::currentLoading() {
    return loadingBox();
}
