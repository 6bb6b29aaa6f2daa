#include "EventWriter.h"

#include <cstdio>

#include "ResultCodes.h"
#include "WindowMessageText.h"
#include "ipc/messages/Commands.h"

namespace zragent {

namespace {

// Length of the UTF-8 sequence starting at i, or 0 when it is not valid.
size_t Utf8Length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    return length;
}

std::string Quoted(const std::string& text) { return "\"" + Printable(text) + "\""; }

std::string Milliseconds(double ms) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f ms", ms);
    return buffer;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t length = Utf8Length(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        }
    }
    return out + "\"";
}

JsonObject::JsonObject(const std::string& event) : text_("{\"event\":" + JsonString(event)) {}

JsonObject& JsonObject::Add(const std::string& key, const std::string& text) {
    text_ += "," + JsonString(key) + ":" + JsonString(text);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }

JsonObject& JsonObject::Add(const std::string& key, long long number) {
    text_ += "," + JsonString(key) + ":" + std::to_string(number);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, double number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", number);
    text_ += "," + JsonString(key) + ":" + buffer;
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
    text_ += "," + JsonString(key) + ":" + (value ? "true" : "false");
    return *this;
}

void EventWriter::Write(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void EventWriter::Raw(const std::string& json, const std::string& text) { Write(json_ ? json : text); }

void EventWriter::HostLaunched(uint32_t pid, const std::string& commandLine) {
    // People get the command without the folders; machines get it whole.
    std::string brief;
    size_t from = 0;
    while (from <= commandLine.size()) {
        size_t end = commandLine.find(' ', from);
        if (end == std::string::npos) end = commandLine.size();
        std::string word = commandLine.substr(from, end - from);
        const size_t slash = word.rfind('/', word.find('('));
        if (slash != std::string::npos) word.erase(0, slash + 1);
        brief += (brief.empty() ? "" : " ") + word;
        from = end + 1;
    }
    Raw(JsonObject("host-started").Add("pid", pid).Add("command", commandLine).Text(),
        "host     started as process " + std::to_string(pid) + ": " + brief);
}

void EventWriter::Ready(uint32_t pid, double ms) {
    Raw(JsonObject("ready").Add("pid", pid).Add("ms", ms).Text(),
        "ready    ReadyMP from host " + std::to_string(pid) + " after " + Milliseconds(ms));
}

void EventWriter::Started(const std::string& module, const char* how, int32_t result, double ms) {
    Raw(JsonObject("started").Add("module", module).Add("how", how).Add("result", result).Add("ms", ms).Text(),
        "started  module " + Quoted(module) + " (" + how + ") in " + Milliseconds(ms));
}

void EventWriter::StartRefused(const std::string& module, int32_t result, const std::string& detail) {
    JsonObject json("start-refused");
    json.Add("module", module).Add("result", result).Add("meaning", StartResultMeaning(result));
    if (!detail.empty()) json.Add("detail", detail);
    Raw(json.Text(), "refused  module " + Quoted(module) + ": result " + std::to_string(result) + " (" +
                         StartResultMeaning(result) + ")" + (detail.empty() ? "" : ", " + detail));
}

void EventWriter::Answer(int index, int32_t option, const std::string& text, bool ok, uint32_t status, double ms) {
    JsonObject json("answer");
    json.Add("index", index).Add("option", GetCommandName(option)).Add("code", option).Add("ok", ok);
    if (ok) {
        json.Add("text", text);
    } else {
        json.Add("status", status);
    }
    json.Add("latency_ms", ms);
    std::string line = "answer   " + std::string(GetCommandName(option)) + " -> ";
    if (ok) {
        line += Quoted(text);
    } else if (status == 1460) {
        // The endpoint's code for a wait that ended without the answer.
        line += "no answer in time (1460: dropped by the host, or it did not answer within 10 s)";
    } else {
        line += "not sent (status " + std::to_string(status) + ")";
    }
    line += "  [" + Milliseconds(ms) + "]";
    Raw(json.Text(), line);
}

void EventWriter::Window(const DecodedWindowMessage& message, bool answered) {
    JsonObject json("window");
    json.Add("message", message.message).Add("name", message.name);
    if (message.hasNumbers) {
        json.Add("wparam", message.wParam).Add("lparam", message.lParam);
    } else {
        json.Add("option", message.option).Add("bytes", message.bytes);
    }
    json.Add("answered", answered);
    Raw(json.Text(), "window   " + DescribeWindowMessage(message) + (answered ? ", answered" : ""));
}

void EventWriter::Stopped(bool stopped, bool wasRunning, double ms) {
    const char* text = stopped ? "stopped  module stopped"
                       : wasRunning ? "stopped  the host could not stop the module"
                                    : "stopped  no module ran; the host ends";
    Raw(JsonObject("stopped").Add("stopped", stopped).Add("was_running", wasRunning).Add("ms", ms).Text(),
        std::string(text) + " in " + Milliseconds(ms));
}

void EventWriter::HostExit(uint32_t pid, const std::string& how, int code) {
    Raw(JsonObject("host-exit").Add("pid", pid).Add("how", how).Add("status", code).Text(),
        "exit     host " + std::to_string(pid) + " " + how);
}

void EventWriter::Error(const std::string& kind, const std::string& message, const std::vector<std::string>& lines) {
    if (json_) {
        std::string json = JsonObject("error").Add("kind", kind).Add("message", message).Text();
        if (!lines.empty()) {
            json.pop_back();
            json += ",\"log\":[";
            for (size_t i = 0; i < lines.size(); ++i) json += (i ? "," : "") + JsonString(lines[i]);
            json += "]}";
        }
        Write(json);
        return;
    }
    std::string text = "error    " + message;
    for (const auto& line : lines) text += "\n         | " + line;
    Write(text);
}

void EventWriter::Note(const std::string& text) {
    Raw(JsonObject("note").Add("text", text).Text(), "         " + text);
}

}  // namespace zragent
