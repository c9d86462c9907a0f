// Answers the next modal KelUI dialog (a confirmation or an alert) by clicking
// one of its buttons, and keeps the text it showed.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

// button: "confirm_ok_btn", "confirm_cancel_btn" or "alert_ok_btn". The text
// is filled in once the dialog has been answered.
inline std::shared_ptr<QString> answerNextDialog(const QString &button) {
    auto text = std::make_shared<QString>();
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, button, text] {
        QWidget *modal = QApplication::activeModalWidget();
        auto *target = modal ? modal->findChild<QPushButton *>(button) : nullptr;
        if (target == nullptr) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (auto *label = modal->findChild<QLabel *>("message_text")) {
            *text = label->text();
        }
        QTest::mouseClick(target, Qt::LeftButton);
    });
    timer->start();
    return text;
}
