#include "language.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include "keltranslation.h"
#include "qttranslations.h"
#include "settings.h"

namespace {
QString installed = QStringLiteral("zh");

bool knownLanguage(const QString &name) {
    return name == QLatin1String("en") || name == QLatin1String("zh");
}
}  // namespace

QString chooseLanguage(const QStringList &arguments, Settings &settings) {
    const QString option = QStringLiteral("--lang");
    for (int i = 1; i < arguments.size(); ++i) {
        QString given;
        if (arguments[i] == option) {
            given = i + 1 < arguments.size() ? arguments[i + 1] : QString();
        } else if (arguments[i].startsWith(option + QLatin1Char('='))) {
            given = arguments[i].mid(option.size() + 1);
        } else {
            continue;
        }
        if (knownLanguage(given)) {
            return given;
        }
        QTextStream(stderr) << "Unknown language \"" << given << "\" for --lang (use en or zh)\n";
        break;
    }
    return settings.language();
}

void installLanguage(QCoreApplication &app, const QString &language) {
    // The catalogue lives in a static library: its resource is registered here.
    Q_INIT_RESOURCE(kelflash_i18n);
    KelTranslation::install(app, QStringLiteral("kelflash"), language);
    KelTranslation::installKelUi(app, language);
    installQtTranslations(app, language);
    installed = KelTranslation::normalized(language);
}

QString currentLanguage() {
    return installed;
}

QByteArray languageEnvironmentName() {
    // One of the variables pkexec keeps in the checker's minimal environment.
    return QByteArrayLiteral("LANGUAGE");
}
