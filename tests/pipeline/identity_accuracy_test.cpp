// identity_accuracy_test.cpp: identification over a labelled population.
//
// tests/data/identity_population.txt (written by
// tests/identity/make_population.py from public facts: IEEE prefixes, the
// makers' default host names, DHCP fingerprints and cloud domains) holds
// 324 devices of 45 kinds, a fifth of them with randomised addresses, in
// dnsmasq (log-dhcp, interleaved) and ISC dhcpd + BIND syntax. All lines go
// through the pipeline; then each device's label is compared with its kind.
// Bars: the right label for at least 85 % of the devices a
// profile fits, a wrong label for at most 3 % of all devices.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/mac.h"
#include "pipeline/pipeline_fixture.h"

namespace tarvex {
namespace {

using test::PipelineRig;

struct Expected {
    std::string kind;  // profile name, "-" when none fits
    std::string mac;
    std::string host;  // "-" when the device sends none
};

void quiet(void*, std::string_view) {}

TEST(IdentityAccuracy, LabelledPopulationMeetsTheBars) {
    std::ifstream in(std::string(TARVEX_SOURCE_DIR) + "/tests/data/identity_population.txt");
    ASSERT_TRUE(in) << "tests/data/identity_population.txt missing";
    std::vector<Expected> devices;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("D ", 0) == 0) {
            const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
            devices.push_back(
                {line.substr(2, t1 - 2), line.substr(t1 + 1, t2 - t1 - 1), line.substr(t2 + 1)});
        } else if (line.rfind("L ", 0) == 0) {
            lines.push_back(line.substr(2));
        }
    }
    ASSERT_GT(devices.size(), 300u);

    PipelineRig rig(4096);
    if (!rig.state.oui.available()) GTEST_SKIP() << "no systemd hardware database (hwdb.bin)";
    setLogSink(quiet, nullptr);
    for (const std::string& l : lines) rig.send(l, "192.168.1.1");
    setLogSink(nullptr, nullptr);

    struct Tally {
        u32 total = 0, right = 0, wrong = 0;
    };
    std::map<std::string, Tally> by_kind;
    Tally fits, all;
    std::string wrong_list;
    for (const Expected& e : devices) {
        const MacAddr mac = *parseMac(e.mac);
        const DeviceFingerprint* d = rig.state.fp->findDevice(mac.b);
        if (!d && e.host != "-") d = rig.state.fp->findDevice(stableHostnameMac(e.host).b);
        const std::string label = d ? std::string(d->getLabel()) : "";
        Tally& k = by_kind[e.kind];
        ++k.total;
        ++all.total;
        if (e.kind != "-") ++fits.total;
        if (label.empty()) continue;
        if (label == e.kind) {
            ++k.right;
            ++fits.right;
        } else {
            ++k.wrong;
            ++all.wrong;
            wrong_list += "  " + e.mac + " " + e.host + ": " + e.kind + " labelled " + label + "\n";
        }
    }
    std::string report;
    for (const auto& [kind, t] : by_kind) {
        char row[160];
        std::snprintf(row, sizeof row, "  %-28s %3u devices  %3u right  %2u wrong\n", kind.c_str(),
                      t.total, t.right, t.wrong);
        report += row;
    }
    const double right_share = 100.0 * fits.right / fits.total;
    const double wrong_share = 100.0 * all.wrong / all.total;
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "right: %u of %u devices a profile fits (%.1f %%); wrong: %u of %u devices "
                  "(%.1f %%)\n",
                  fits.right, fits.total, right_share, all.wrong, all.total, wrong_share);
    std::printf("%s%s%s", report.c_str(), summary, wrong_list.c_str());
    EXPECT_GE(right_share, 85.0) << summary;
    EXPECT_LE(wrong_share, 3.0) << summary << wrong_list;
}

}  // namespace
}  // namespace tarvex
