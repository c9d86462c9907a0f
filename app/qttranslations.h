// Qt's own texts (file dialog, standard buttons) in the program's language.
#pragma once

class QCoreApplication;

// Installs Qt's Chinese translations from the system's Qt translation folder.
// Returns false, after a warning, when they are not there: Qt then speaks
// English beside the program's Chinese, which is ugly but harmless.
bool installQtTranslations(QCoreApplication &app);
