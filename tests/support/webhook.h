// webhook.h: notification endpoints inside the test: a real HTTP server on
// a loopback port that keeps every request made to "/hook" (or "/message")
// and answers the statuses it is told, then 200; and one that never answers.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_server.h"

namespace tarvex::test {

struct HookRequest {
    std::string method_path;  // "POST /hook?token=..."
    std::string content_type, title, priority, tags, click, authorization;
    std::string body;
};

class Webhook {
  public:
    Webhook() {
        current() = this;
        server_.router().post("/hook", &Webhook::handle);
        server_.router().post("/message", &Webhook::handle);
        started_ = server_.start(false);
    }
    ~Webhook() {
        server_.stop();
        current() = nullptr;
    }
    bool started() const { return started_; }
    int port() const { return server_.port(); }
    std::string url(const std::string& path_and_query = "/hook") const {
        return "http://127.0.0.1:" + std::to_string(port()) + path_and_query;
    }

    // The next answers, in order; 200 once they are used up.
    void answer(std::initializer_list<u16> statuses) {
        std::lock_guard<std::mutex> l(mu_);
        answers_.insert(answers_.end(), statuses);
    }
    // Waits until `n` requests have come in (or `ms` passed); all of them.
    std::vector<HookRequest> waitFor(size_t n, int ms = 10000) {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return got_.size() >= n; });
        return got_;
    }
    size_t count() {
        std::lock_guard<std::mutex> l(mu_);
        return got_.size();
    }

  private:
    static Webhook*& current() {
        static Webhook* w = nullptr;
        return w;
    }
    static Err handle(void*, HttpRequest& req, HttpResponse& res) {
        Webhook* self = current();
        HookRequest r;
        r.method_path = "POST " + std::string(req.target());
        r.content_type = req.header("content-type");
        r.title = req.header("title");
        r.priority = req.header("priority");
        r.tags = req.header("tags");
        r.click = req.header("click");
        r.authorization = req.header("authorization");
        r.body = req.body;
        u16 status = 200;
        {
            std::lock_guard<std::mutex> l(self->mu_);
            if (!self->answers_.empty()) {
                status = self->answers_.front();
                self->answers_.pop_front();
            }
            self->got_.push_back(std::move(r));
        }
        self->cv_.notify_all();
        res.status = status;
        res.content_type = ContentType::json;
        res.setBody("{}");
        return Err::None;
    }

    TestServer server_;
    bool started_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<u16> answers_;
    std::vector<HookRequest> got_;
};

// A TCP endpoint that takes connections (the kernel completes them) and
// never answers.
class DeadEndpoint {
  public:
    DeadEndpoint() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~DeadEndpoint() { ::close(fd_); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace tarvex::test
