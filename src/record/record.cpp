#include "record/record.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

// Fields stay in the order they are set: a person reading the log finds them where the last line
// had them.
using Json = nlohmann::ordered_json;

// Tenths of a second: finer would promise more than the clock and the run can tell.
double Tenths(double seconds) {
    return std::round(seconds * 10) / 10;
}

template <class T> Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

std::string HexId(uint16_t id) {
    char text[5];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(id));
    return text;
}

Json AdapterJson(const std::optional<RecordAdapter>& adapter) {
    if (!adapter) {
        return nullptr;
    }
    Json json;
    json["vid"] = HexId(adapter->VendorId);
    json["pid"] = HexId(adapter->ProductId);
    json["serial"] = adapter->Serial.empty() ? Json(nullptr) : Json(adapter->Serial);
    return json;
}

Json Event(const char* name) {
    Json json;
    json["event"] = name;
    json["schema"] = RECORD_SCHEMA;
    return json;
}

// A file name or an adapter's words need not be UTF-8; such bytes are replaced rather than
// making the line fail.
std::string Line(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// What the run was about, in the order the record and the start event both give it.
void AddSubject(Json& json, const RunRecord& run) {
    json["program"] = run.Program;
    json["port"] = OrNull(run.Port);
    json["adapter"] = AdapterJson(run.Adapter);
    json["file"] = OrNull(run.File);
    json["file_sha256"] = OrNull(run.FileSha256);
    json["image_sha256"] = OrNull(run.ImageSha256);
    json["image_bytes"] = OrNull(run.ImageBytes);
}

// How the run ended, as the record and the end event both give it.
void AddOutcome(Json& json, const RunRecord& run) {
    json["status"] = run.Status;
    json["result"] = OrNull(run.Result);
    json["last_line"] = OrNull(run.LastLine);
    json["seconds"] = Tenths(run.Seconds);
}

} // namespace

std::string RecordLine(const RunRecord& run) {
    Json json;
    json["schema"] = RECORD_SCHEMA;
    json["time"] = run.Time;
    AddSubject(json, run);
    json["blocks"] = run.BlocksSent;
    AddOutcome(json, run);
    json["bytes_sent"] = run.BytesSent;
    return Line(json);
}

std::string StartEvent(const RunRecord& run) {
    Json json = Event("start");
    AddSubject(json, run);
    json["blocks"] = OrNull(run.BlocksToSend);
    return Line(json);
}

std::string NoteEvent(const std::string& text) {
    Json json = Event("note");
    json["text"] = text;
    return Line(json);
}

std::string BlockEvent(uint32_t block, uint32_t bytes, bool answered) {
    Json json = Event("block");
    json["block"] = block;
    json["bytes"] = bytes;
    json["answered"] = answered;
    return Line(json);
}

std::string ProgressEvent(uint32_t bytesSent, uint32_t imageBytes, double seconds,
                          double secondsLeft) {
    Json json = Event("progress");
    json["bytes_sent"] = bytesSent;
    json["image_bytes"] = imageBytes;
    json["seconds"] = Tenths(seconds);
    json["seconds_left"] = secondsLeft < 0 ? Json(nullptr) : Json(Tenths(secondsLeft));
    return Line(json);
}

std::string EndEvent(const RunRecord& run) {
    Json json = Event("end");
    AddOutcome(json, run);
    return Line(json);
}

std::string UtcTimeText(int64_t secondsSinceEpoch) {
    const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &time);
#else
    gmtime_r(&time, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
