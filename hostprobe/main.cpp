#include <QApplication>
#include <QFont>

#include <cstdlib>

#include "hostprobe.h"
#include "keltranslation.h"
#include "resourcefont.h"

int main(int, char *argv[]) {
    // The checker runs as root (started through pkexec) and has no options. Qt
    // would load whatever library its caller names: a plug-in folder and platform
    // on the command line (-platformpluginpath, -platform, -plugin) or plug-in
    // folders in the environment. So Qt sees neither: only the plug-ins installed
    // with Qt itself are loaded.
    for (const char *name : {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH"}) {
        unsetenv(name);
    }
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    const QStringList families = addResourceFont(QStringLiteral(":/font/DroidSansFallback.ttf"));
    if (!families.isEmpty()) {
        QFont font(families.first());
        font.setPixelSize(14);
        app.setFont(font);
    }
    // KelFlash hands its language over in LANGUAGE (pkexec keeps it); only "en"
    // asks for English, any other value leaves the checker Chinese.
    const QString language = KelTranslation::normalized(qEnvironmentVariable("LANGUAGE"));
    KelTranslation::install(app, QStringLiteral("hostprobe"), language);
    KelTranslation::installKelUi(app, language);
    HostProbe window;
    window.show();
    return app.exec();
}
