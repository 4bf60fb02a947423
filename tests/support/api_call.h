// api_call.h: runs API routes in-process, without sockets, over a rig.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/routes.h"
#include "http/router.h"
#include "pipeline/pipeline_fixture.h"

namespace tarvex::test {

// The ServerState the daemon would build over the rig's engine state.
inline ServerState stateOf(PipelineRig& rig) {
    ServerState s{};
    s.engine = &rig.state;
    s.db = rig.p->persistence;
    return s;
}

struct ApiReply {
    int status = 0;  // 0 when no route matched
    std::string body;
    Err err = Err::None;
};

// Routes `method` `target` ("/api/devices?limit=2") with `body` (none when
// empty) through the API's route table and runs the handler on this thread
// with a fresh request arena.
inline ApiReply callApi(ServerState& state, std::string_view target, Method method = Method::get,
                        std::string_view body = {}) {
    static Router* router = [] {
        auto* r = new Router();
        registerRoutes(*r);
        return r;
    }();
    std::vector<char> scratch(kHandlerScratchBytes);
    Arena arena(scratch.data(), scratch.size());
    auto req = std::make_unique<HttpRequest>();
    req->head.method = method;
    req->head.target = target;
    size_t q = target.find('?');
    req->head.path = target.substr(0, q);
    req->head.query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    req->resetForDispatch(&arena);
    req->body = body;
    req->has_body = !body.empty();
    ApiReply out;
    const Route* route = router->match(method, req->head.path, *req);
    if (!route) return out;
    HttpResponse res(&arena);
    out.err = route->handler(&state, *req, res);
    out.status = res.status;
    out.body = std::string(res.body());
    if (out.err == Err::None && res.content_type != ContentType::json) out.err = Err::Unexpected;
    return out;
}

}  // namespace tarvex::test
