#include "probe_plugin.h"

class TProbeThemePlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                          "probe_plugin.json")
};

#include "probe_theme_plugin.moc"
