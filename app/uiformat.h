// Text helpers shared by the main window and its tab pages.
#pragma once

#include <QString>
#include <QtGlobal>

class QLabel;

// Readable byte size: "512 B", "1.5 KB", "3 GB" (a zero fraction is dropped).
QString formatSize(quint64 bytes, char format = 'f', int precision = 1);

// Shows `value` after the label's caption (its text up to the first full-width
// colon), coloured; values past 12 characters are cut and kept whole in the tool tip.
void setLabelValue(QLabel *label, const QString &value, const QString &color = "#335983");
