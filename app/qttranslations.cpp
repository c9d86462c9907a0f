#include "qttranslations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QTranslator>

bool installQtTranslations(QCoreApplication &app, const QString &language) {
    // Qt's texts follow the program's language rather than the system's locale.
    if (language == QLatin1String("en")) {
        return true;
    }
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    const QString dir = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    // "qtbase" holds the texts of every module the program uses (Core, Gui,
    // Widgets, Network, Sql); "qt" would load the catalogues of modules it does
    // not use as well, at every start.
    if (!translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"), dir)) {
        qWarning().noquote() << "Qt's Chinese translations not found in" << dir;
        delete translator;
        return false;
    }
    app.installTranslator(translator);
    return true;
}
