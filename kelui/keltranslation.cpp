#include "keltranslation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>

namespace KelTranslation {

QString normalized(const QString &language) {
    return language.trimmed().compare(QLatin1String("en"), Qt::CaseInsensitive) == 0
               ? QStringLiteral("en")
               : QStringLiteral("zh");
}

bool isEnglish(const QString &language) {
    return normalized(language) == QLatin1String("en");
}

bool install(QCoreApplication &app, const QString &catalogue, const QString &language) {
    if (!isEnglish(language)) {
        return true;
    }
    auto *translator = new QTranslator(&app);
    const QString file = QStringLiteral(":/i18n/%1_en.qm").arg(catalogue);
    if (!translator->load(file)) {
        qWarning().noquote() << "Translation catalogue not found:" << file;
        delete translator;
        return false;
    }
    app.installTranslator(translator);
    return true;
}

bool installKelUi(QCoreApplication &app, const QString &language) {
    return install(app, QStringLiteral("kelui"), language);
}

}  // namespace KelTranslation
