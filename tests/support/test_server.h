// test_server.h: an HTTP server running in-process on a free loopback port.
#pragma once

#include <thread>

#include "api/routes.h"
#include "http/server.h"

namespace tarvex::test {

// Serves the API routes (and any routes added before start()) on
// 127.0.0.1 with an ephemeral port; stops and joins on destruction.
class TestServer {
  public:
    explicit TestServer(ServerState* state = nullptr, const HttpServerOptions& options = {})
        : server_(state ? state : &state_, options) {}
    ~TestServer() { stop(); }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    Router& router() { return server_.router(); }
    HttpServer& server() { return server_; }

    // Binds and starts serving; false when the socket cannot be bound.
    bool start(bool api_routes = true) {
        if (api_routes) registerRoutes(server_.router());
        if (server_.bind("127.0.0.1", 0) != Err::None) return false;
        thread_ = std::thread([this] { result_ = server_.serve(); });
        return true;
    }
    int port() const { return server_.port(); }
    void stop() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }
    Err result() const { return result_; }

  private:
    ServerState state_{};
    HttpServer server_;
    std::thread thread_;
    Err result_ = Err::None;
};

}  // namespace tarvex::test
