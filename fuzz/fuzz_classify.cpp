// fuzz_classify.cpp: whole datagrams through classification and every parser.
#include <cstdint>
#include <string_view>

#include "common/log.h"
#include "ingest/classify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        tarvex::setLogSink([](void*, std::string_view) {}, nullptr);
        return true;
    }();
    (void)quiet;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    tarvex::ParsedEvent ev = tarvex::ingest::classifyAndParse(bytes, 1709634030);
    if (ev.type == tarvex::EventType::unknown ||
        static_cast<unsigned>(ev.type) > static_cast<unsigned>(tarvex::EventType::unknown)) {
        __builtin_trap();
    }
    return 0;
}
