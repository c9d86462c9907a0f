// A "platform plug-in" that only leaves a mark when it is loaded.
#include <QObject>
#include <QtPlugin>

#include <cstdio>
#include <cstdlib>

__attribute__((constructor)) static void leaveMark() {
    if (FILE *f = fopen(getenv("HOSTPROBE_TEST_MARK") ?: "/dev/null", "w")) {
        fclose(f);
    }
}

class MarkerPlatform : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                      "marker_platform.json")
};

#include "marker_platform.moc"
