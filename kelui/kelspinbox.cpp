#include "kelspinbox.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLineEdit>
#include <QVBoxLayout>

#include "fontawesome.h"
#include "kelbutton.h"

namespace {

constexpr int kFrameHeight = 26;
constexpr int kButtonWidth = 25;
constexpr int kRepeatDelayMs = 500;
constexpr int kRepeatIntervalMs = 50;

// Appended to the KelButton look: the step buttons share a 26px frame, so they must
// drop its 25px height and padding.
const char *const kStepButtonStyle =
    "QPushButton { height: 10px; line-height: 10px; padding: 0; color: #164796; }"
    "QPushButton:disabled { color: #999; background: #eee; border: 1px solid #999; }";

const char *const kFrameStyle =
    "QFrame[class=\"kel_spinbox\"] {"
    " border: 1px solid #a5acb2; border-radius: 2px; background: #fff; }"
    "QFrame[class=\"kel_spinbox\"]:disabled { background: #eee; }";

KelButton *makeStepButton(FontAwesome::IconIdentity icon, QWidget *parent) {
    KelButton *button = new KelButton(parent);
    button->setFixedWidth(kButtonWidth);
    button->setStyleSheet(button->styleSheet() + kStepButtonStyle);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    button->setFocusPolicy(Qt::NoFocus);
    FontAwesome::getInstance()->setButtonIcon(button, icon);
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(kRepeatDelayMs);
    button->setAutoRepeatInterval(kRepeatIntervalMs);
    return button;
}

}  // namespace

KelSpinBox::KelSpinBox(QWidget *parent) : QWidget(parent) {
    frame = new QFrame(this);
    frame->setProperty("class", "kel_spinbox");
    frame->setFixedHeight(kFrameHeight);

    lineEdit = new QLineEdit(frame);
    validator = new QIntValidator(minimum, maximum, lineEdit);
    lineEdit->setValidator(validator);
    lineEdit->setText(QString::number(value));

    upButton = makeStepButton(FontAwesome::IconCaretUp, frame);
    downButton = makeStepButton(FontAwesome::IconCaretDown, frame);

    QVBoxLayout *buttons = new QVBoxLayout();
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(2);
    buttons->addWidget(upButton);
    buttons->addWidget(downButton);

    QHBoxLayout *row = new QHBoxLayout(frame);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    row->addWidget(lineEdit, 1);
    row->addLayout(buttons);

    QHBoxLayout *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(frame);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    applyStyle();

    connect(upButton, &QPushButton::clicked, this, &KelSpinBox::stepUp);
    connect(downButton, &QPushButton::clicked, this, &KelSpinBox::stepDown);
    connect(lineEdit, &QLineEdit::editingFinished, this, &KelSpinBox::commitText);

    installEventFilter(this);
    lineEdit->installEventFilter(this);
}

void KelSpinBox::applyStyle() {
    QString edit = QStringLiteral(
        "QLineEdit { background: transparent; border: none; "
        "margin-left: 5px;");
    if (textColor.isValid()) {
        edit += QStringLiteral(" color: %1;").arg(textColor.name(QColor::HexArgb));
    }
    edit += QStringLiteral(" }");
    frame->setStyleSheet(QString::fromLatin1(kFrameStyle));
    lineEdit->setStyleSheet(edit);
}

void KelSpinBox::setRange(int min, int max) {
    minimum = min;
    maximum = qMax(min, max);
    validator->setRange(minimum, maximum);
    setValue(minimum);
}

void KelSpinBox::setValue(int v) {
    if (v < minimum || v > maximum) {
        return;
    }
    if (emitChanged && v != value) {
        emit valueChanged(v);
    }
    value = v;
    lineEdit->setText(QString::number(value));
}

void KelSpinBox::setInterval(int step) {
    interval = step;
}

void KelSpinBox::setEditable(bool editable) {
    lineEdit->setEnabled(editable);
}

void KelSpinBox::setEmitChanged(bool on) {
    emitChanged = on;
}

void KelSpinBox::setTextColor(QColor color) {
    textColor = color;
    applyStyle();
}

// Computed in 64 bits: a large interval must clamp at the bound, not wrap around it.
void KelSpinBox::stepUp() {
    setValue(static_cast<int>(qMin<qint64>(maximum, qint64(value) + interval)));
}

void KelSpinBox::stepDown() {
    setValue(static_cast<int>(qMax<qint64>(minimum, qint64(value) - interval)));
}

void KelSpinBox::commitText() {
    bool ok = false;
    int typed = lineEdit->text().toInt(&ok, 10);
    if (ok) {
        setValue(typed);
    }
    // A refused number must not stay on show as if it were the value.
    QString shown = QString::number(value);
    if (lineEdit->text() != shown) {
        lineEdit->setText(shown);
    }
}

bool KelSpinBox::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::KeyPress && (watched == this || watched == lineEdit)) {
        QKeyEvent *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Up) {
            upButton->click();
            return true;
        }
        if (key->key() == Qt::Key_Down) {
            downButton->click();
            return true;
        }
    }
    // The field's validator keeps editingFinished from firing for a number outside
    // the range, so leaving the field must also settle what it shows.
    if (event->type() == QEvent::FocusOut && watched == lineEdit &&
        !lineEdit->hasAcceptableInput()) {
        commitText();
    }
    return QWidget::eventFilter(watched, event);
}
