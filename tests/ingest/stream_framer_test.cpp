// Cutting syslog streams into messages: octet counting, newline framing,
// both on one connection, reads split anywhere, lengths that lie and
// messages longer than a datagram.
#include "ingest/stream_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvex {
namespace {

struct Out {
    std::vector<std::string> messages;
    unsigned cut = 0;
};

void collect(void* ctx, const char* data, u32 len, bool cut) {
    auto* o = static_cast<Out*>(ctx);
    o->messages.emplace_back(data, len);
    if (cut) ++o->cut;
}

std::string octets(const std::string& msg) {
    return std::to_string(msg.size()) + " " + msg;
}

struct Case {
    const char* rule;
    std::string stream;
    std::vector<std::string> expect;
};

std::vector<Case> framingCases() {
    const std::string a = "<13>Oct 26 20:01:31 gw app: one";
    const std::string b = "<13>Oct 26 20:01:32 gw app: two";
    return {
        {"LF ends a line", a + "\n" + b + "\n", {a, b}},
        {"CR LF ends a line without its CR", a + "\r\n" + b + "\r\n", {a, b}},
        {"NUL ends a line", a + std::string(1, '\0') + b + std::string(1, '\0'), {a, b}},
        {"empty lines and stray CR between messages are skipped", "\n\r\n\n" + a + "\n\n", {a}},
        {"octet counting", octets(a) + octets(b), {a, b}},
        {"an octet-counted message keeps its LF", octets(a + "\n"), {a + "\n"}},
        {"octet counting then LF, then octet counting again",
         octets(a) + b + "\n" + octets(a),
         {a, b, a}},
        {"LF then octet counting", a + "\n" + octets(b), {a, b}},
        {"a line after octet-counted frames followed by LF", octets(a) + "\n" + b + "\n", {a, b}},
        {"digits without a space start a line", "2024-03-05 gw: up\n", {"2024-03-05 gw: up"}},
        {"a leading zero is no length", "0 zero\n", {"0 zero"}},
        {"a number and a space without a PRI after it start a line",
         "101 1 tap101i0-IN 20/Jun/2022:13:12:46 REJECT\n" + octets(a),
         {"101 1 tap101i0-IN 20/Jun/2022:13:12:46 REJECT", a}},
        {"an octet count needs the PRI right after its space", "5 hello\n", {"5 hello"}},
        {"a length that lies short splits the message", "5 <13>hello\n", {"<13>h", "ello"}},
        {"a length that lies long swallows the next frame",
         "40 " + a + octets(b),
         {a + "31 <13>Oc", "t 26 20:01:32 gw app: two"}},
    };
}

TEST(StreamFramer, FramingTable) {
    for (const Case& c : framingCases()) {
        StreamFramer f;
        f.reset();
        Out o;
        ASSERT_EQ(f.feed(c.stream.data(), c.stream.size(), collect, &o), FrameError::none)
            << c.rule;
        f.finish(collect, &o);
        EXPECT_EQ(o.messages, c.expect) << c.rule;
        EXPECT_EQ(o.cut, 0u) << c.rule;
    }
}

TEST(StreamFramer, SplitAcrossReadsAtEveryByte) {
    for (const Case& c : framingCases()) {
        for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
            StreamFramer f;
            f.reset();
            Out o;
            ASSERT_EQ(f.feed(c.stream.data(), cut, collect, &o), FrameError::none);
            ASSERT_EQ(f.feed(c.stream.data() + cut, c.stream.size() - cut, collect, &o),
                      FrameError::none);
            f.finish(collect, &o);
            EXPECT_EQ(o.messages, c.expect) << c.rule << ", split at " << cut;
        }
        // And one byte per read.
        StreamFramer f;
        f.reset();
        Out o;
        for (char ch : c.stream) ASSERT_EQ(f.feed(&ch, 1, collect, &o), FrameError::none);
        f.finish(collect, &o);
        EXPECT_EQ(o.messages, c.expect) << c.rule << ", byte by byte";
    }
}

TEST(StreamFramer, OverLongMessagesAreCutLikeADatagram) {
    const std::string body = "<13>" + std::string(4996, 'x');
    const std::string first = body.substr(0, kDatagramMax);
    struct Long {
        const char* rule;
        std::string stream;
        std::vector<std::string> expect;
        unsigned cut;
    };
    const std::string exact = "<13>" + std::string(kDatagramMax - 4, 'y');
    const Long cases[] = {
        {"a long line is cut and the rest up to its LF discarded",
         body + "\nnext\n",
         {first, "next"},
         1},
        {"a long octet-counted frame is cut and its excess discarded",
         octets(body) + octets("<1>next"),
         {first, "<1>next"},
         1},
        {"a line of exactly the limit is whole", exact + "\r\nnext\n", {exact, "next"}, 0},
        {"a frame of exactly the limit is whole", octets(exact) + "next\n", {exact, "next"}, 0},
        {"a frame at the sane bound is taken",
         octets("<1>" + std::string(kMaxFrameBytes - 3, 'z')) + "n\n",
         {"<1>" + std::string(kDatagramMax - 3, 'z'), "n"},
         1},
        {"thousands of digits are a long line",
         std::string(5000, '7') + "\nn\n",
         {std::string(kDatagramMax, '7'), "n"},
         1},
    };
    for (const Long& c : cases) {
        for (size_t step : {c.stream.size(), size_t{1000}, size_t{7}}) {
            StreamFramer f;
            f.reset();
            Out o;
            for (size_t at = 0; at < c.stream.size(); at += step) {
                const size_t n = std::min(step, c.stream.size() - at);
                ASSERT_EQ(f.feed(c.stream.data() + at, n, collect, &o), FrameError::none) << c.rule;
            }
            f.finish(collect, &o);
            EXPECT_EQ(o.messages, c.expect) << c.rule << ", reads of " << step;
            EXPECT_EQ(o.cut, c.cut) << c.rule;
        }
    }
}

TEST(StreamFramer, LengthsThatCannotBeRightAreErrors) {
    struct Bad {
        std::string stream;
        u64 length;  // as badLength reports it
    };
    const Bad cases[] = {
        {"1048577 <13>x", 1048577},
        {"9999999 <13>x", 9999999},
        {"12345678 <13>x", ~u64{0}},
        {"99999999999999999999999 <13>x", ~u64{0}},
    };
    for (const Bad& c : cases) {
        StreamFramer f;
        f.reset();
        Out o;
        const std::string stream = "<13>before\n" + c.stream;
        EXPECT_EQ(f.feed(stream.data(), stream.size(), collect, &o), FrameError::bad_length)
            << c.stream;
        EXPECT_EQ(f.badLength(), c.length) << c.stream;
        EXPECT_EQ(o.messages, std::vector<std::string>{"<13>before"})
            << "what came before the bad frame is handed over";
    }
}

TEST(StreamFramer, EndOfStream) {
    struct End {
        const char* rule;
        std::string stream;
        std::vector<std::string> expect;
        bool dropped;
    };
    const End cases[] = {
        {"a last line without LF is handed over", "<13>a\n<13>last", {"<13>a", "<13>last"}, false},
        {"a last line ending in CR loses the CR", "<13>last\r", {"<13>last"}, false},
        {"an incomplete octet-counted frame is dropped", "20 <13>short", {}, true},
        {"digits alone are a line", "123", {"123"}, false},
        {"nothing pending", "<13>a\n", {"<13>a"}, false},
    };
    for (const End& c : cases) {
        StreamFramer f;
        f.reset();
        Out o;
        f.feed(c.stream.data(), c.stream.size(), collect, &o);
        EXPECT_EQ(f.midMessage(), c.stream.back() != '\n') << c.rule;
        EXPECT_EQ(f.finish(collect, &o), c.dropped) << c.rule;
        EXPECT_EQ(o.messages, c.expect) << c.rule;
        EXPECT_FALSE(f.midMessage()) << c.rule;
    }
}

}  // namespace
}  // namespace tarvex
