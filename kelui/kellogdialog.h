// The log window: the program's messages as coloured text, with scrolling, a font
// size choice, clearing and opening of the current log file.
#pragma once

#include <QColor>
#include <QString>

#include "keldialog.h"
#include "kelui_global.h"

class QTextEdit;
class KelComboBox;

class KELUI_EXPORT KelLogDialog : public KelDialog {
    Q_OBJECT

public:
    explicit KelLogDialog(QWidget *parent = nullptr);

    // The view keeps the newest lines only: the scans log every second.
    static constexpr int kMaxLines = 20000;

    // withPrefix: put the level tag ("[info ] " ...) in front of the text.
    void appendText(QtMsgType type, const QString &text, bool withPrefix);
    void setTextColor(QtMsgType type, QColor color);
    QColor textColor(QtMsgType type) const;
    void setLogFilePath(const QString &path);
    QString logFilePath() const { return logFile; }
    void clearLog();
    QTextEdit *textView() const { return view; }

    // Opens the log file with the desktop's handler for text files; false without
    // a file.
    bool openLogFile();

private:
    void setFontPixelSize(int size);

    QColor colors[5];
    QString logFile;
    QTextEdit *view = nullptr;
    KelComboBox *fontSizeBox = nullptr;
};
