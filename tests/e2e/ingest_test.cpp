// End-to-end: the real daemon receives UDP datagrams and acts on them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "support/daemon.h"

namespace tarvex::test {
namespace {

void sendUdp(int port, const std::string& payload) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

TEST(E2eIngest, CefOverUdpRaisesAnAlert) {
    int udp = freePort(SOCK_DGRAM);
    Daemon d({}, {{"PORT", std::to_string(freePort(SOCK_STREAM))},
                  {"SYSLOG_PORT", std::to_string(udp)},
                  {"HOST", "127.0.0.1"}});
    ASSERT_TRUE(d.waitForLine("info(listener): syslog UDP listener started on [::]:" +
                              std::to_string(udp)));
    EXPECT_TRUE(d.waitForLine("info(main): pipeline ready (max_devices=200 retention=30d)"));
    sendUdp(udp,
            "<134>Oct 26 20:01:31 gw CEF:0|Ubiquiti|UniFi Network|10.0|201|Threat Detected|8|"
            "proto=TCP src=198.51.100.10 dst=192.168.0.233 dpt=443 UNIFIcategory=Security");
    EXPECT_TRUE(d.waitForLine("info(pipeline): CEF high-severity alert created: id=1 severity=8"));
}

TEST(E2eIngest, CorpusReplayDoesNotStopTheDaemon) {
    std::string dir = corpusDir();
    if (dir.empty()) GTEST_SKIP() << "no sample logs on this machine";
    int udp = freePort(SOCK_DGRAM);
    Daemon d({}, {{"PORT", std::to_string(freePort(SOCK_STREAM))},
                  {"SYSLOG_PORT", std::to_string(udp)},
                  {"HOST", "127.0.0.1"}});
    ASSERT_TRUE(d.waitForLine("syslog UDP listener started"));
    int sent = 0;
    for (const char* f : {"cef.log", "dhcp-dnsmasq.log", "dhcp-iscdhcpd.log", "dns-bind.log",
                          "dns-dnsmasq.log", "firewall-iptables.log", "firewall-pfsense.log",
                          "syslog-rfc3164-nopri.log", "syslog-rfc3164.log", "syslog-rfc5424.log"}) {
        std::ifstream in(dir + "/" + f);
        std::string line;
        while (std::getline(in, line)) {
            sendUdp(udp, line);
            ++sent;
        }
    }
    ASSERT_GT(sent, 100);
    // Collision detection runs on every 100th event: its line shows the
    // pipeline got through the replay.
    EXPECT_TRUE(d.waitForLine("info(collision): detectCollisions: found"));
    EXPECT_TRUE(d.waitForLine("info(pipeline): CEF high-severity alert created"));
}

}  // namespace
}  // namespace tarvex::test
