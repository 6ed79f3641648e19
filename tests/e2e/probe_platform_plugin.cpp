#include "probe_plugin.h"

class TProbePlatformPlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                          "probe_plugin.json")
};

#include "probe_platform_plugin.moc"
