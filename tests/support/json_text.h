// json_text.h: runs an API body writer over a fresh request arena.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/json.h"
#include "http/arena.h"

namespace tarvex::test {

// The bytes `write(JsonWriter&)` writes, as a handler would send them; a
// write that runs out of request memory fails the test.
template <class Write>
std::string writtenJson(Write&& write) {
    std::vector<char> scratch(kHandlerScratchBytes);
    Arena arena(scratch.data(), scratch.size());
    BodyWriter w(&arena);
    JsonWriter j(w);
    write(j);
    EXPECT_EQ(w.err(), Err::None);
    return std::string(w.view());
}

}  // namespace tarvex::test
