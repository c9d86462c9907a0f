// The interface language. The programs' texts are written in Chinese, which is
// the default; English comes from catalogues compiled into each program and into
// this library. Only the two languages below are known: any other name (from a
// settings file, the command line or the environment) means Chinese.
#pragma once

#include <QString>

#include "kelui_global.h"

class QCoreApplication;

namespace KelTranslation {
// "en" for English, "zh" for Chinese (the default).
KELUI_EXPORT QString normalized(const QString &language);
KELUI_EXPORT bool isEnglish(const QString &language);

// Installs the catalogue ":/i18n/<catalogue>_en.qm" when the language is
// English; Chinese needs none. False (after a warning) when it is missing.
KELUI_EXPORT bool install(QCoreApplication &app, const QString &catalogue, const QString &language);
// The library's own texts (dialogs, title bar, about box, version check); the
// program that uses the library installs them with its own.
KELUI_EXPORT bool installKelUi(QCoreApplication &app, const QString &language);
}  // namespace KelTranslation
