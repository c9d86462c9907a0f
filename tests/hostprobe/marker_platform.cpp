// A "platform plug-in" whose only deed is to leave a mark when it is loaded: run
// as root, HostProbe must never load a library its caller points it to.
#include <QObject>
#include <QtPlugin>

#include <cstdio>
#include <cstdlib>

namespace {
__attribute__((constructor)) void leaveMark() {
    if (const char *mark = getenv("HOSTPROBE_TEST_MARK")) {
        if (FILE *f = fopen(mark, "w")) {
            fclose(f);
        }
    }
}
}  // namespace

class MarkerPlatform : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                      "marker_platform.json")
};

#include "marker_platform.moc"
