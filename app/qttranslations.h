// Qt's own texts (file dialog, standard buttons) in the program's language.
#pragma once

#include <QString>

class QCoreApplication;

// Installs Qt's Chinese translations from the system's Qt translation folder
// when the language is Chinese; Qt's texts are English already. Returns false,
// after a warning, when they are not there: Qt then speaks English beside the
// program's Chinese, which is ugly but harmless.
bool installQtTranslations(QCoreApplication &app, const QString &language = QStringLiteral("zh"));
