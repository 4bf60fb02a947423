// config_alerts.cpp: the alerting settings (new-device alerts).
#include "config.h"

namespace tarvex {

void readAlertSettings(Config& c) {
    // Any number but 0 leaves new-device alerts on; a bad value keeps the
    // default with the usual warning.
    c.alerts.new_device_alerts = getEnvU32("NEW_DEVICE_ALERTS", 1) != 0;
    c.alerts.new_device_grace = getEnvU32("NEW_DEVICE_GRACE", 600);
}

}  // namespace tarvex
