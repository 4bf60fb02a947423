// api_daemon.h: the real daemon on free ports, ready for API calls.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "support/daemon.h"
#include "support/http_call.h"

namespace tarvex::test {

// Starts build/tarvex on a free HTTP and UDP port of 127.0.0.1 with `env`
// added; ready() waits until the API answers.
class ApiDaemon {
  public:
    explicit ApiDaemon(std::map<std::string, std::string> env = {})
        : port(freePort(SOCK_STREAM)), udp(freePort(SOCK_DGRAM)) {
        env["PORT"] = std::to_string(port);
        env["SYSLOG_PORT"] = std::to_string(udp);
        env["HOST"] = "127.0.0.1";
        daemon = std::make_unique<Daemon>(std::vector<std::string>{}, env);
    }

    bool ready() {
        return daemon->started() && daemon->waitForLine("info(server): HTTP server listening") &&
               waitForApi(port);
    }
    bool logged(const std::string& line, int timeout_ms = 5000) {
        return daemon->waitForLine(line, timeout_ms);
    }
    bool loggedAnywhere(const std::string& part) {
        for (const auto& l : daemon->lines())
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

    // Sends one datagram to the daemon's syslog port.
    void sendUdp(const std::string& payload) const {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(udp));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
        ::close(fd);
    }

    int port;
    int udp;
    std::unique_ptr<Daemon> daemon;
};

}  // namespace tarvex::test
