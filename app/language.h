// The interface language of the window: Chinese unless "--lang en" or the
// settings' "[ui] language=en" ask for English. The command line program and
// the log files are English whatever the choice.
#pragma once

#include <QString>
#include <QStringList>

class QCoreApplication;
class Settings;

// "--lang <en|zh>" (or "--lang=<en|zh>") among the arguments, else the stored
// choice. An unknown language on the command line is reported on stderr and
// the stored choice holds.
QString chooseLanguage(const QStringList &arguments, Settings &settings);

// The program's, the widget library's and Qt's texts in the language.
void installLanguage(QCoreApplication &app, const QString &language);

// The language installed last ("zh" before any).
QString currentLanguage();

// The variable that carries the choice to the environment checker: pkexec
// passes it on, and the checker takes no arguments.
QByteArray languageEnvironmentName();
