// What zragent prints: JSON that always parses, and window messages decoded
// from the records the host relays.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "EventWriter.h"
#include "WindowMessageText.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"

using zragent::DecodeWindowMessage;
using zragent::JsonString;

namespace {

// A relayed record with these parameter bytes, decoded.
zragent::DecodedWindowMessage Decoded(uint32_t message, const std::string& w, const std::string& l) {
    WindowMessageDataMultiProcess record;
    record.uMsg = message;
    record.SetWParam(w.data(), static_cast<int32_t>(w.size()));
    record.SetLParam(l.data(), static_cast<int32_t>(l.size()));
    return DecodeWindowMessage(record);
}

// Everything a writer printed.
std::string Printed(bool json, void (*write)(zragent::EventWriter&)) {
    FILE* file = std::tmpfile();
    {
        zragent::EventWriter events(file, json);
        write(events);
    }
    std::rewind(file);
    std::string text;
    int c;
    while ((c = std::fgetc(file)) != EOF) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

}  // namespace

TEST(AgentEvents, JsonStringsEscapeQuotesControlsAndInvalidUtf8) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("n\nt\t\0z", 6), "\"n\\u000at\\u0009\\u0000z\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // valid UTF-8 is kept
        {"bad\xff\xc3", "\"bad\\u00ff\\u00c3\""},    // a stray byte and a cut sequence are escaped
        {"\xe2\x82", "\"\\u00e2\\u0082\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(JsonString(c.in), c.out);
    }
}

// The JSON fields of a decoded message are seen with a real host in
// AgentHostTest; here the text form and what does not decode.
TEST(AgentEvents, WindowMessagesAreDescribedByNameWithTheirOptionBytesOrNumbers) {
    const struct {
        uint32_t message;
        std::string w, l, text;
    } cases[] = {
        {3026, "proxy.port", "8080", "SETSRVOPTION option \"proxy.port\" bytes \"8080\" (4)"},
        {3025, "", std::string("\x01\"", 2), "GETSRVOPTION option \"\" bytes \"\\x01\\\"\" (2)"},
        {3027, "7", "-1", "WM_RUNJOB w=7 l=-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zragent::DescribeWindowMessage(Decoded(c.message, c.w, c.l)), c.text);
    }
    // Text that is no number is shown as it came.
    EXPECT_FALSE(Decoded(3027, "x", "1").hasNumbers);
    EXPECT_EQ(Decoded(1025, "a", "b").name, "WM_1025");
}

TEST(AgentEvents, EveryEventIsOneLineInBothForms) {
    auto all = [](zragent::EventWriter& events) {
        events.HostLaunched(10, "/b/zrrundll /l/lib,Module PID(1) LPCNAME(G/x)");
        events.Ready(10, 1.5);
        events.Started("echo", "how", 0, 2.0);
        events.StartRefused("m", -3, "");
        events.Answer(0, 2, "ZR_GETOPTION:a\nb", true, 0, 0.25);
        events.Answer(1, 99, "", false, 1460, 10000);
        events.Window(Decoded(3027, "1", "2"), true);
        events.Stopped(true, true, 3);
        events.HostExit(10, "exited with status 0", 0);
        events.Note("n");
    };
    for (bool json : {true, false}) {
        SCOPED_TRACE(json);
        const std::string text = Printed(json, all);
        size_t lines = 0;
        for (char c : text) lines += c == '\n';
        EXPECT_EQ(lines, 10u) << text;
    }
    const std::string json = Printed(true, all);
    EXPECT_NE(json.find("{\"event\":\"answer\",\"index\":0,\"option\":\"ZR_GETOPTION\",\"code\":2,\"ok\":true,"
                        "\"text\":\"ZR_GETOPTION:a\\u000ab\",\"latency_ms\":0.25}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"option\":\"unknown\",\"code\":99,\"ok\":false,\"status\":1460"), std::string::npos);
    EXPECT_NE(json.find("\"meaning\":\"signature check refused the file\""), std::string::npos);
    const std::string text = Printed(false, all);
    EXPECT_NE(text.find("refused  module \"m\": result -3 (signature check refused the file)"), std::string::npos);
    EXPECT_NE(text.find("window   WM_RUNJOB w=1 l=2, answered"), std::string::npos);
    EXPECT_NE(text.find("host     started as process 10: zrrundll lib,Module PID(1) LPCNAME(G/x)"), std::string::npos);
}

TEST(AgentEvents, ErrorsCarryTheHostsLastLogLines) {
    const std::string json = Printed(true, [](zragent::EventWriter& events) {
        events.Error("host-died", "gone", {"[0001.0002] a", "b\"c"});
    });
    EXPECT_EQ(json, "{\"event\":\"error\",\"kind\":\"host-died\",\"message\":\"gone\",\"log\":[\"[0001.0002] a\","
                    "\"b\\\"c\"]}\n");
    const std::string text = Printed(false, [](zragent::EventWriter& events) {
        events.Error("host-died", "gone", {"x"});
    });
    EXPECT_EQ(text, "error    gone\n         | x\n");
}
