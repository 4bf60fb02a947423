// End to end: the real daemon takes syslog over TCP and TLS (IPv4 and IPv6)
// beside UDP, frames every message right, closes only the connection whose
// frame cannot be right, keeps its connection limits, and goes on with UDP
// while a TCP sender stalls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon.h"
#include "support/http_call.h"
#include "support/stream_sender.h"
#include "support/udp_sender.h"

namespace tarvex::test {
namespace {

// Three TCP ports that differ.
struct Ports {
    int http = freeListenPort();
    int udp = freePort(SOCK_DGRAM);
    int tcp = 0;
    int tls = 0;
    Ports() {
        for (int i = 0; i < 100 && (tcp == 0 || tcp == http); ++i) tcp = freeListenPort();
        for (int i = 0; i < 100 && (tls == 0 || tls == http || tls == tcp); ++i)
            tls = freeListenPort();
    }
};

struct Event {
    std::string source;
    std::string data;
};

// The events the daemon holds, oldest first.
std::vector<Event> events(int http) {
    RawConn c(http);
    HttpReply r = call(c, "GET", "/api/events/search?limit=500");
    std::vector<Event> out;
    if (r.status != 200) return out;
    auto j = nlohmann::json::parse(r.body, nullptr, false);
    if (!j.is_object()) return out;
    for (const auto& e : j["events"]) out.push_back({e["source_ip"], e["data"]});
    return {out.rbegin(), out.rend()};
}

// Polls until at least `n` events are held (at most 10 s).
std::vector<Event> waitForEvents(int http, size_t n) {
    std::vector<Event> got;
    for (int i = 0; i < 500; ++i) {
        got = events(http);
        if (got.size() >= n) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return got;
}

std::vector<std::string> texts(const std::vector<Event>& ev) {
    std::vector<std::string> t;
    for (const Event& e : ev) t.push_back(e.data);
    return t;
}

std::string octets(const std::string& msg) {
    return std::to_string(msg.size()) + " " + msg;
}

std::map<std::string, std::string> streamEnv(const Ports& p) {
    return {{"PORT", std::to_string(p.http)},
            {"HOST", "127.0.0.1"},
            {"SYSLOG_PORT", std::to_string(p.udp)},
            {"SYSLOG_TCP_PORT", std::to_string(p.tcp)}};
}

testing::AssertionResult startedWithTcp(Daemon& d, const Ports& p) {
    if (d.waitForLine("info(streams): syslog TCP listener started on [::]:" +
                      std::to_string(p.tcp)) &&
        d.waitForLine("syslog UDP listener started") && waitForApi(p.http)) {
        return testing::AssertionSuccess();
    }
    std::string log;
    for (const std::string& l : d.lines()) log += l + "\n";
    return testing::AssertionFailure() << "not started:\n" << log;
}

void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST(E2eStreams, TcpFramingMixedAndSplitAcrossReads) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    auto sender = std::make_unique<StreamSender>("127.0.0.1", p.tcp);
    StreamSender& s = *sender;
    ASSERT_TRUE(s.ok());
    const std::string a = "<13>Oct 26 20:01:31 gw app: newline framed";
    const std::string b = "<13>Oct 26 20:01:32 gw app: octet counted";
    const std::string c = "<13>Oct 26 20:01:33 gw app: crlf";
    const std::string e = "<13>Oct 26 20:01:34 gw app: nul";
    const std::string f = "<13>Oct 26 20:01:35 gw app: last, without its LF";
    const std::string stream = a + "\n" + octets(b) + c + "\r\n" + e + std::string(1, '\0') + f;
    // Each piece ends somewhere awkward: inside the length, inside a
    // message, between CR and LF.
    const size_t cuts[] = {a.size() + 2, a.size() + 10, a.size() + 4 + b.size() / 2,
                           stream.find("\r\n") + 1, stream.size() - 5};
    size_t at = 0;
    for (size_t cut : cuts) {
        ASSERT_TRUE(s.send(stream.substr(at, cut - at)));
        at = cut;
        pause();
    }
    ASSERT_TRUE(s.send(stream.substr(at)));
    std::vector<Event> got = waitForEvents(p.http, 4);
    EXPECT_EQ(texts(got), (std::vector<std::string>{a, b, c, e}))
        << "the last line waits for its LF or the end of the connection";
    sender.reset();  // the end of the connection completes its last line
    got = waitForEvents(p.http, 5);
    EXPECT_EQ(texts(got), (std::vector<std::string>{a, b, c, e, f}));
    for (const Event& ev : got) EXPECT_EQ(ev.source, "127.0.0.1");
}

TEST(E2eStreams, ALengthThatCannotBeRightClosesOnlyItsConnection) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    StreamSender bad("127.0.0.1", p.tcp);
    StreamSender good("127.0.0.1", p.tcp);
    ASSERT_TRUE(bad.ok() && good.ok());
    ASSERT_TRUE(bad.send("<13>before the lie\n123456789 <13>x"));
    EXPECT_TRUE(bad.closedByPeer(5000));
    EXPECT_TRUE(d.waitForLine(
        "warning(streams): closing the connection from 127.0.0.1: an octet count of more than 7 "
        "digits cannot be right"));
    ASSERT_TRUE(good.send(octets("<13>still heard")));
    ASSERT_EQ(waitForEvents(p.http, 2).size(), 2u);  // no order between transports
    UdpSender(p.udp).send("<13>and udp too");
    std::vector<Event> got = waitForEvents(p.http, 3);
    EXPECT_EQ(texts(got), (std::vector<std::string>{"<13>before the lie", "<13>still heard",
                                                    "<13>and udp too"}));
}

TEST(E2eStreams, TlsSessionWithASelfSignedCertificate) {
    const std::string dir = "/tmp/tarvex-tls-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
        " -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no openssl command";
    Ports p;
    auto env = streamEnv(p);
    env["SYSLOG_TLS_PORT"] = std::to_string(p.tls);
    env["SYSLOG_TLS_CERT"] = cert;
    env["SYSLOG_TLS_KEY"] = key;
    Daemon d({}, env);
    ASSERT_TRUE(d.waitForLine("info(streams): syslog TLS listener started on [::]:" +
                              std::to_string(p.tls)));
    ASSERT_TRUE(startedWithTcp(d, p));
    StreamSender s("127.0.0.1", p.tls);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.startTls());
    std::string many;
    std::vector<std::string> want;
    for (int i = 0; i < 300; ++i) {
        want.push_back("<13>Oct 26 20:01:31 gw app: over tls " + std::to_string(i));
        many += i % 2 ? octets(want.back()) : want.back() + "\n";
    }
    ASSERT_TRUE(s.send(many));
    std::vector<Event> got = waitForEvents(p.http, want.size());
    EXPECT_EQ(texts(got), want);
    // A client that speaks no TLS is closed with a line; the listener goes on.
    StreamSender plain("127.0.0.1", p.tls);
    ASSERT_TRUE(plain.send("<13>not tls at all\n"));
    EXPECT_TRUE(plain.closedByPeer(5000));
    EXPECT_TRUE(d.waitForLine("warning(streams): TLS handshake with 127.0.0.1 failed"));
    std::filesystem::remove_all(dir);
}

TEST(E2eStreams, TlsWithoutAUsableCertificateLeavesTheRestRunning) {
    Ports p;
    auto env = streamEnv(p);
    env["SYSLOG_TLS_PORT"] = std::to_string(p.tls);
    env["SYSLOG_TLS_CERT"] = "/nonexistent/cert.pem";
    env["SYSLOG_TLS_KEY"] = "/nonexistent/key.pem";
    Daemon d({}, env);
    EXPECT_TRUE(
        d.waitForLine("error(streams): TLS listener not started: cannot load certificate "
                      "'/nonexistent/cert.pem' and key '/nonexistent/key.pem'"));
    ASSERT_TRUE(startedWithTcp(d, p));
    UdpSender(p.udp).send("<13>udp");
    StreamSender s("127.0.0.1", p.tcp);
    ASSERT_TRUE(s.send("<13>tcp\n"));
    EXPECT_EQ(waitForEvents(p.http, 2).size(), 2u);
}

TEST(E2eStreams, Ipv6LoopbackOverUdpAndTcp) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(static_cast<uint16_t>(p.udp));
    to.sin6_addr = in6addr_loopback;
    const std::string msg = "<13>Oct 26 20:01:31 gw app: over udp6";
    ASSERT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(msg.size()));
    close(fd);
    std::vector<Event> got = waitForEvents(p.http, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].source, "::1");
    EXPECT_EQ(got[0].data, msg);
    StreamSender s("::1", p.tcp);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s.send("<13>over tcp6\n"));
    got = waitForEvents(p.http, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].source, "::1");
    // And an IPv4 sender on the dual-stack socket is shown as IPv4.
    UdpSender(p.udp).send("<13>v4");
    got = waitForEvents(p.http, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].source, "127.0.0.1");
}

TEST(E2eStreams, AStalledTcpSenderNeverHoldsUdp) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    // One sender stops inside a line, one inside an octet count, one inside
    // a frame, and one never sends at all.
    StreamSender line("127.0.0.1", p.tcp), count("127.0.0.1", p.tcp), frame("127.0.0.1", p.tcp),
        silent("127.0.0.1", p.tcp);
    ASSERT_TRUE(line.send("<13>half a li"));
    ASSERT_TRUE(count.send("12"));
    ASSERT_TRUE(frame.send("27 <13>half a fr"));
    UdpSender udp(p.udp);
    const int n = 400;
    for (int i = 0; i < n; ++i) udp.send("<13>udp " + std::to_string(i));
    size_t got = 0;
    for (int i = 0; i < 500 && got < static_cast<size_t>(n); ++i) {
        got = events(p.http).size();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(got, static_cast<size_t>(n)) << "every datagram while the streams stall";
    // The stalled ones finish later, each message whole.
    ASSERT_TRUE(line.send("ne\n"));
    ASSERT_TRUE(count.send(" <13>resumed!"));
    ASSERT_TRUE(frame.send("ame, now whole"));
    std::vector<Event> all = waitForEvents(p.http, n + 3);
    ASSERT_EQ(all.size(), static_cast<size_t>(n + 3));
    const std::vector<std::string> all_texts = texts(all);
    std::vector<std::string> tail(all_texts.end() - 3, all_texts.end());
    std::sort(tail.begin(), tail.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"<13>half a frame, now whole", "<13>half a line",
                                              "<13>resumed!"}));
}

TEST(E2eStreams, ConnectionLimitsPerSenderAndInAll) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    std::vector<std::unique_ptr<StreamSender>> held;
    auto open = [&](const char* from) {
        held.push_back(std::make_unique<StreamSender>("127.0.0.1", p.tcp, from));
        return held.back().get();
    };
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(open("127.0.0.2")->ok());
    StreamSender* over_sender = open("127.0.0.2");
    EXPECT_TRUE(over_sender->closedByPeer(5000)) << "the 65th from one address";
    for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"})
        for (int i = 0; i < 64; ++i) ASSERT_TRUE(open(from)->ok());
    StreamSender* over_total = open("127.0.0.6");
    EXPECT_TRUE(over_total->closedByPeer(5000)) << "the 257th in all";
    EXPECT_TRUE(
        d.waitForLine("warning(streams): refused a connection from 127.0.0.2: 64 "
                      "connections are open from that address"));
    EXPECT_TRUE(d.waitForLine(
        "warning(streams): refused a connection from 127.0.0.6: 256 stream connections are open"));
    EXPECT_FALSE(held[0]->closedByPeer(100)) << "those within the limits stay open";
    RawConn c(p.http);
    auto stats = nlohmann::json::parse(call(c, "GET", "/api/stats").body);
    EXPECT_EQ(stats["stream_connections"], 256);
    EXPECT_EQ(stats["stream_refused"], 2);
    const std::string metrics = call(c, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("tarvex_stream_connections{transport=\"tcp\"} 256\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("tarvex_stream_connections_refused_total{reason=\"sender_limit\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("tarvex_stream_connections_refused_total{reason=\"total_limit\"} 1\n"),
              std::string::npos);
    // A slot freed is a slot to take again.
    held[1].reset();
    bool reopened = false;
    for (int i = 0; i < 100 && !reopened; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        StreamSender again("127.0.0.1", p.tcp, "127.0.0.7");
        if (again.ok() && !again.closedByPeer(200)) reopened = true;
    }
    EXPECT_TRUE(reopened);
}

TEST(E2eStreams, StopClosesTheStreamsAndExitsCleanly) {
    Ports p;
    Daemon d({}, streamEnv(p));
    ASSERT_TRUE(startedWithTcp(d, p));
    StreamSender s("127.0.0.1", p.tcp);
    ASSERT_TRUE(s.send("<13>complete\n<13>unterminated"));
    ASSERT_EQ(waitForEvents(p.http, 1).size(), 1u);
    d.signal(SIGTERM);
    EXPECT_TRUE(
        d.waitForLine("info(streams): syslog stream listener stopped (1 connections closed)"));
    EXPECT_EQ(d.waitExit(10000), 0);
}

}  // namespace
}  // namespace tarvex::test
