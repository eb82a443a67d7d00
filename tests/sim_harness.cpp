#include "sim_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/update.h"
#include "console/status.h"
#include "console_capture.h"
#include "posix_support.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The first line of the unit's standard output names its port.
std::string ReadPortLine(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    const std::string prefix = "unit-sim: port ";
    if (line.rfind(prefix, 0) != 0) {
        throw std::runtime_error("unit-sim did not name its port: " + line);
    }
    return line.substr(prefix.size());
}

} // namespace

SimulatedUnit::SimulatedUnit(const std::vector<std::string>& faults) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Every block's line in the report, for the messages of a failing test.
    std::vector<std::string> args = {UNIT_SIM_EXE,         "--verbose", "--rx",
                                     m_Dir.Path("rx.bin"), "--out",     m_Dir.Path("flash.bin")};
    args.insert(args.end(), faults.begin(), faults.end());
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        Exec(args);
    }
    close(out[1]);
    close(err[1]);
    m_Err = err[0];
    m_Port = ReadPortLine(out[0]);
    close(out[0]);
}

SimulatedUnit::~SimulatedUnit() {
    if (m_Pid > 0) {
        Finish();
    }
}

SimRun SimulatedUnit::Finish() {
    SimRun run;
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 40 && (done = waitpid(m_Pid, &status, WNOHANG)) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
        kill(m_Pid, SIGTERM);
        waitpid(m_Pid, &status, 0);
    }
    m_Pid = -1;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char chunk[4096];
    ssize_t got;
    while ((got = read(m_Err, chunk, sizeof(chunk))) > 0) {
        run.Report.append(chunk, static_cast<size_t>(got));
    }
    close(m_Err);
    run.Rx = Bytes(ReadFile(m_Dir.Path("rx.bin")));
    run.Flash = Bytes(ReadFile(m_Dir.Path("flash.bin")));
    return run;
}

UpdateRun RunUpdateWith(const std::vector<std::string>& args, const std::string& input) {
    FILE* in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    std::vector<std::string> all = {"brelwick"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    UpdateRun run{};
    {
        ConsoleCapture console(in);
        run.Status = RunUpdate(static_cast<int>(argv.size()), argv.data());
        run.Console = console.Text();
        run.Notes = console.Notes();
    }
    std::fclose(in);
    return run;
}

namespace {

using Json = nlohmann::ordered_json;

std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> lines;
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = text.substr(from, end - from);
        EXPECT_TRUE(Json::accept(line)) << "not a line of JSON: " << line;
        if (Json::accept(line)) {
            lines.push_back(Json::parse(line));
        }
    }
    EXPECT_EQ(from, text.size()) << "a line left unended: " << text.substr(from);
    return lines;
}

std::string LastLineOf(const std::string& text) {
    const std::string whole =
        !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
    return whole.substr(whole.rfind('\n') == std::string::npos ? 0 : whole.rfind('\n') + 1);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

const std::map<int, std::string> RESULTS = {{STATUS_FLASHED, "flashed"},
                                            {STATUS_FILE_REFUSED, "file refused"},
                                            {STATUS_TRANSFER_ENDED, "not flashed"},
                                            {STATUS_UNIT_UNANSWERED, "may not be flashed"}};

} // namespace

void ExpectOnRecord(const UpdateRun& run, const std::string& hexPath, const std::string& log,
                    size_t received, bool lineWentDown) {
    const std::vector<Json> events = JsonLines(run.Notes);
    ASSERT_FALSE(events.empty()) << run.Notes;
    const bool refused = run.Status == STATUS_FILE_REFUSED;
    const std::string fileSha = std::filesystem::is_regular_file(hexPath) ? Sha256Sum(hexPath) : "";
    // A file refused for another fingerprint has an image; one refused for what it holds has none.
    const bool hasImage =
        !refused || run.Console.find("NOT THE EXPECTED FILE") != std::string::npos;
    const Json imageSha = hasImage ? Json(ImageSha256Sum(hexPath)) : Json(nullptr);
    bool started = false;
    uint32_t blocks = 0;
    Json progress;
    for (size_t i = 0; i < events.size(); ++i) {
        const Json& event = events[i];
        EXPECT_EQ(event["schema"], 1);
        const std::string name = event["event"];
        if (name == "start") {
            EXPECT_FALSE(started) << "a second start";
            started = true;
            EXPECT_EQ(event["program"], "brelwick " BRELWICK_VERSION);
            EXPECT_EQ(event["file_sha256"], fileSha.empty() ? Json(nullptr) : Json(fileSha));
            EXPECT_EQ(event["image_sha256"], imageSha);
        } else if (name == "block") {
            EXPECT_TRUE(started) << "a block before start";
            EXPECT_EQ(event["block"], blocks++);
        } else if (name == "progress") {
            EXPECT_TRUE(started) << "progress before start";
            if (!progress.is_null()) {
                EXPECT_GE(event["bytes_sent"], progress["bytes_sent"]);
                EXPECT_GE(event["seconds"], progress["seconds"]);
            }
            EXPECT_LE(event["bytes_sent"], event["image_bytes"]);
            progress = event;
        } else if (name == "end") {
            EXPECT_EQ(i, events.size() - 1) << "end is not the last event";
        } else {
            EXPECT_EQ(name, "note");
            EXPECT_TRUE(event["text"].is_string());
        }
    }
    const Json& end = events.back();
    ASSERT_EQ(end["event"], "end") << run.Notes;
    EXPECT_TRUE(started);
    EXPECT_EQ(end["status"], run.Status);
    EXPECT_EQ(end["result"], RESULTS.at(run.Status));
    EXPECT_EQ(end["last_line"], LastLineOf(run.Console));
    EXPECT_EQ(blocks, Count(run.Console, " loaded...\n"));

    const std::string logged = ReadFile(log);
    const std::vector<Json> records = JsonLines(logged);
    ASSERT_EQ(records.size(), 1u) << logged;
    const Json& record = records[0];
    std::vector<std::string> keys;
    for (const auto& item : record.items()) {
        keys.push_back(item.key());
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"schema", "time", "program", "port", "adapter", "file",
                                        "file_sha256", "image_sha256", "image_bytes", "blocks",
                                        "status", "result", "last_line", "seconds", "bytes_sent"}));
    for (const char* same : {"status", "result", "last_line", "seconds"}) {
        EXPECT_EQ(record[same], end[same]) << same;
    }
    EXPECT_EQ(record["blocks"], blocks);
    EXPECT_EQ(record["file_sha256"], fileSha.empty() ? Json(nullptr) : Json(fileSha));
    EXPECT_EQ(record["image_sha256"], imageSha);
    if (lineWentDown) {
        EXPECT_GE(record["bytes_sent"], received);
    } else {
        EXPECT_EQ(record["bytes_sent"], received);
    }
    EXPECT_EQ(record["time"].get<std::string>().size(), 20u) << record["time"];
}
