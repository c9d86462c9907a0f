#include "qttranslations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtTranslations(QCoreApplication &app) {
    // The program's own texts are Chinese whatever the system's locale, so Qt's
    // texts follow them rather than the locale.
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    const QString dir = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    // "qt" is the catalogue that pulls in the catalogues of every Qt module.
    if (!translator->load(chinese, QStringLiteral("qt"), QStringLiteral("_"), dir)) {
        qWarning().noquote() << "Qt's Chinese translations not found in" << dir;
        delete translator;
        return false;
    }
    app.installTranslator(translator);
    return true;
}
