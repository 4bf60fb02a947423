// Triage from HTTP threads while the pipeline fills and turns over the alert
// table: no data race (the ThreadSanitizer run covers this test), and the
// table's age lists and id index stay whole.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/api_call.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

u32 listLength(const AlertManager& am, u32 oldest) {
    u32 n = 0;
    for (u32 s = oldest; s != 0 && n <= kMaxAlerts; s = am.alerts[s - 1].newer) ++n;
    return n;
}

TEST(AlertTriageConcurrency, PatchWhileTheTableTurnsOver) {
    LogCapture quiet;
    PipelineRig rig;
    ServerState st = stateOf(rig);
    std::atomic<bool> done{false};
    std::thread pipeline([&] {
        for (u32 i = 0; i < kMaxAlerts + 3000; ++i) {
            rig.send("<134>Dec  8 05:00:02 gw CEF:0|Ubiquiti|UniFi Network|10.0|201|T|8|src=10.9." +
                     std::to_string(i >> 8) + "." + std::to_string(i & 255));
        }
        done = true;
    });
    const char* statuses[] = {"resolved", "acknowledged", "false_positive", "investigating"};
    std::vector<std::thread> http;
    for (int t = 0; t < 3; ++t) {
        http.emplace_back([&, t] {
            u32 k = static_cast<u32>(t);
            while (!done) {
                const u32 id = 1 + (k * 2654435761u) % (kMaxAlerts + 3000);
                const std::string body = std::string("{\"status\":\"") + statuses[k % 4] + "\"}";
                ApiReply r = callApi(st, "/api/alerts/" + std::to_string(id), Method::patch, body);
                ASSERT_TRUE(r.status == 200 || r.status == 404) << r.status;
                if (k % 8 == 0) {
                    ASSERT_EQ(callApi(st, "/api/alerts?status=resolved").status, 200);
                }
                ++k;
            }
        });
    }
    pipeline.join();
    for (auto& th : http) th.join();

    SharedGuard hold(rig.state.lock);
    const AlertManager& am = *rig.state.alerts;
    EXPECT_EQ(am.alert_count, kMaxAlerts);
    EXPECT_EQ(listLength(am, am.open_oldest) + listLength(am, am.closed_oldest), kMaxAlerts)
        << "every alert is in exactly one age list";
    for (u32 i = 0; i < kMaxAlerts; ++i) {
        const Alert& a = am.alerts[i];
        ASSERT_EQ(am.getAlert(a.id), &a) << "slot " << i;
        ASSERT_EQ(a.age_list == 2, isClosedStatus(a.status)) << "slot " << i;
    }
}

}  // namespace
}  // namespace tarvex::test
