// udp_sender.h: sends syslog datagrams to a daemon on the loopback interface.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace tarvex::test {

class UdpSender {
  public:
    explicit UdpSender(int port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(static_cast<uint16_t>(port));
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~UdpSender() { close(fd_); }
    void send(const std::string& payload) {
        sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to_),
               sizeof to_);
        // Pace a little so the loopback socket never overflows.
        if (++sent_ % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

  private:
    int fd_;
    sockaddr_in to_{};
    int sent_ = 0;
};

}  // namespace tarvex::test
