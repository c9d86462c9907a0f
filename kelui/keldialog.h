// Frameless dialog with the KelUI title bar, and the library's ready-made message boxes.
#pragma once

#include <QDialog>

#include "keltitlebar.h"
#include "kelui_global.h"

class QCloseEvent;

class KELUI_EXPORT KelDialog : public QDialog {
    Q_OBJECT

public:
    explicit KelDialog(QWidget *parent = nullptr, bool hasTitleBar = true);

    void setTitle(const QString &title);
    void setTitleButtonType(KelTitleBar::ButtonType type);
    void setContentLayout(QLayout *layout);
    void setContentStyleSheet(const QString &styleSheet);
    void setDragResizable(bool resizable);
    bool isDragResizable() const { return dragResizable; }
    KelTitleBar *titleBar() const { return bar; }
    QWidget *contentWidget() const { return content; }

    static void alert(QWidget *parent, const QString &title, const QString &text,
                      bool modal = true);
    static void alert(QWidget *parent, const QString &text, bool modal = true);
    static int confirm(QWidget *parent, const QString &text);
    static void info(QWidget *parent, const QString &text, int msec = 2000);
    static void loading(QWidget *parent, const QString &text, bool dark = false);
    static void closeLoading();
    // The loading box currently shown, if any.
    static KelDialog *currentLoading();

signals:
    void closed(QCloseEvent *event);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

private:
    KelTitleBar *bar = nullptr;
    QWidget *content;
    bool dragResizable = false;
};
