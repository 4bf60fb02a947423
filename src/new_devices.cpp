// new_devices.cpp: the pipeline's new-device alerts and the announcement
// every alert it creates shares (live feed, database).
#include <cstring>

#include "common/log.h"
#include "notify/notifier.h"
#include "pipeline.h"
#include "storage/persistence.h"

namespace tarvex {

void Pipeline::enableNewDeviceAlerts(u32 grace) {
    new_device_alerts = true;
    new_device_grace = grace;
    started = now();
}

void Pipeline::announceAlert(u32 id, bool persist, bool new_device) {
    const Alert* a = state->alerts->getAlert(id);
    if (!a) return;
    publishAlert(feed, id, a->getTitle(), severityName(a->severity));
    if (notifier) notifier->offer(*a, new_device);
    if (persist && persistence) persistence->submitAlert(AlertRow::fromAlert(*a));
}

void Pipeline::notifyAlertsFrom(u32 first) {
    for (u32 id = first; id < state->alerts->next_id; ++id) {
        if (const Alert* a = state->alerts->getAlert(id)) notifier->offer(*a, false);
    }
}

namespace {

// "First start": without a database every start is one (nothing is
// remembered); with one, a start whose restore found no device is.
bool firstStart(const Pipeline& p) {
    return !p.persistence || !p.state->restore_found_devices.load(std::memory_order_relaxed);
}

}  // namespace

void Pipeline::noteNewDevice(const NewDeviceFacts& f) {
    if (!new_device_alerts) return;
    if (persistence && !state->restore_done.load(std::memory_order_acquire)) {
        if (pending_new_count < kPendingNewDevices) {
            pending_new[pending_new_count++] = f;
        } else {
            static LogLimit limit;
            logWarnLimited(limit, "pipeline",
                           "{} new devices wait for the restore, not alerting for {}",
                           kPendingNewDevices, macToString(f.mac).view());
        }
        return;
    }
    if (firstStart(*this) && f.seen_at < started + static_cast<i64>(new_device_grace)) return;
    // A device the restore brought back meanwhile was never new.
    const DeviceFingerprint* d = state->fp->findDevice(f.key.b);
    if (!d || d->restored) return;

    FixedText<128> title;
    FixedText<512> description;
    FixedText<2048> evidence;
    formatNewDeviceAlert(f, title, description, evidence);
    const u32 id = state->alerts->createAlert(title.view(), description.view(), AlertSeverity::low,
                                              0.0f, f.mac, 0);
    if (id == 0) return;
    if (Alert* a = state->alerts->getAlert(id)) {
        a->setEvidence(evidence.view());
        a->setSourceIp(f.getAddress());
    }
    announceAlert(id, true, true);
}

void Pipeline::decidePendingNewDevices() {
    if (!state->restore_done.load(std::memory_order_acquire)) return;
    const u32 n = pending_new_count;
    pending_new_count = 0;
    for (u32 i = 0; i < n; ++i) noteNewDevice(pending_new[i]);
}

}  // namespace tarvex
