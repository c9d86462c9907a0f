#include "kellineedit.h"

KelLineEdit::KelLineEdit(QWidget *parent) : QLineEdit(parent) {
    init();
}

KelLineEdit::KelLineEdit(const QString &text, QWidget *parent) : QLineEdit(text, parent) {
    init();
}

void KelLineEdit::init() {
    setStyleSheet(
        "QLineEdit { border: 1px solid #a5acb2; border-radius: 2px; padding: 2px 4px; }"
        "QLineEdit:focus { border-color: #2a86bf; }"
        "QLineEdit:disabled { color: #777; background: #efefef; }");
}
