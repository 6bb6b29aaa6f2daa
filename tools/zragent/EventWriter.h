// zragent's output: one line per event, for people or (--json) one JSON
// object per line for machines. Any thread may write; lines never mix.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zragent {

struct DecodedWindowMessage;

// Text as a JSON string literal, quotes included; bytes that are not valid
// UTF-8 are written as \u00XX so the output always parses.
std::string JsonString(const std::string& text);

// One JSON object from already-encoded values: {"event":"x","k":v,...}.
class JsonObject {
public:
    explicit JsonObject(const std::string& event);
    JsonObject& Add(const std::string& key, const std::string& text);
    JsonObject& Add(const std::string& key, const char* text);
    JsonObject& Add(const std::string& key, long long number);
    JsonObject& Add(const std::string& key, int number) { return Add(key, static_cast<long long>(number)); }
    JsonObject& Add(const std::string& key, unsigned number) { return Add(key, static_cast<long long>(number)); }
    JsonObject& Add(const std::string& key, double number);
    JsonObject& Add(const std::string& key, bool value);
    std::string Text() const { return text_ + "}"; }

private:
    std::string text_;
};

class EventWriter {
public:
    EventWriter(FILE* out, bool json) : out_(out), json_(json) {}
    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

    bool Json() const { return json_; }

    void HostLaunched(uint32_t pid, const std::string& commandLine);
    void Ready(uint32_t pid, double ms);
    void Started(const std::string& module, const char* how, int32_t result, double ms);
    void StartRefused(const std::string& module, int32_t result, const std::string& detail);
    void Answer(int index, int32_t option, const std::string& text, bool ok, uint32_t status, double ms);
    void Window(const DecodedWindowMessage& message, bool answered);
    void Stopped(bool stopped, bool wasRunning, double ms);
    void HostExit(uint32_t pid, const std::string& how, int code);
    // kind: "host-not-found", "host-died", "timeout", ...; lines: details
    // shown under the message (the host's last log lines).
    void Error(const std::string& kind, const std::string& message, const std::vector<std::string>& lines = {});
    void Note(const std::string& text);
    // A ready-made JSON object (json mode) or text line (text mode).
    void Raw(const std::string& json, const std::string& text);

private:
    void Write(const std::string& line);

    std::mutex lock_;  // one line at a time
    FILE* out_;
    bool json_;
};

}  // namespace zragent
