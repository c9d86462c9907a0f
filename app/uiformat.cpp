#include "uiformat.h"

#include <QLabel>
#include <QStringList>

QString formatSize(quint64 bytes, char format, int precision) {
    static const struct {
        quint64 divisor;
        const char *unit;
    } units[] = {
        {quint64(1) << 30, "GB"},
        {quint64(1) << 20, "MB"},
        {quint64(1) << 10, "KB"},
    };
    for (const auto &u : units) {
        if (bytes >= u.divisor) {
            QString number = QString::number(double(bytes) / double(u.divisor), format, precision);
            QStringList parts = number.split('.');
            if (parts.size() == 2 && parts[1].toInt() == 0) {
                number = parts[0];
            }
            return number + " " + u.unit;
        }
    }
    return QString::number(bytes) + " B";
}

void setLabelValue(QLabel *label, const QString &value, const QString &color) {
    static const QChar kColon(0xFF1A);
    static const int kMaxShown = 12;

    // The caption ends at its colon: a full-width one in Chinese, ":" and a
    // space in English.
    const QString text = label->text();
    QString caption;
    if (text.contains(kColon)) {
        caption = text.section(kColon, 0, 0) + kColon;
    } else if (text.contains(QLatin1Char(':'))) {
        caption = text.section(QLatin1Char(':'), 0, 0) + QStringLiteral(": ");
    } else {
        caption = text + kColon;
    }
    QString shown = value;
    if (value.length() > kMaxShown) {
        shown = value.left(kMaxShown) + "...";
        label->setToolTip(value);
    } else {
        label->setToolTip(QString());
    }
    // The value is plain data (file names, header text): keep it from being read as markup.
    label->setText(caption + "<span style=\"color: " + color + ";\">" + shown.toHtmlEscaped() +
                   "</span>");
}
