#include "app/update.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "app/bench.h"
#include "app/ports.h"
#include "app/window.h"
#include "console/console.h"
#include "console/process.h"
#include "console/progress.h"
#include "console/status.h"
#include "hex/hex_loader.h"
#include "record/log_file.h"
#include "record/record.h"
#include "record/sha256.h"
#include "serial/serial.h"
#include "transfer/transfer.h"

CCmdLine* CmdLine = nullptr;

namespace {

const char* const USAGE[] = {
    "Brelwick.exe",
    "  -f file",
    "  -q ('quiet' - do not prompt to begin)",
    "  -c com (port as COM1, COM2, COM6 ... )",
};

// A timer up to this answers within 2 to 3 ms a byte: not worth a note.
constexpr int QUICK_LATENCY_TIMER_MS = 2;

const char* const BANNER[] = {
    "*******************",
    "  Serial port opened",
    "  Firmware file read in and validated",
    "*******************",
    "WARNING: ",
    "  Each block to flash takes about 30 seconds",
    "  Do NOT power off the unit while loading",
    "  Do NOT use the keyer or dial while loading",
    "  Do NOT move the unit while loading",
    "  Do NOT even look at it cross-eyed while loading",
    "  Just sit patiently and watch.  Or get coffee",
    "  INSURE THE UNIT IS ON, AND HAS FRESH BATTERIES OR ALTERNATE POWER",
    "  Press <enter> to begin  AND DO NOT DISTURB UNTIL DONE",
};

// The switches the program reads, by name (as the switch table lowers them): -f, -c, -q, -n, the
// help switches (-h, -help, --help, -?; on Windows /h, /help, /? too), the version switches
// (--version, -version; on Windows /version too) and the port listing's (-l, -list, --list).
const char* const RUN_SWITCHES[] = {"f",     "c",      "q",       "n",    "log",   "-log", "json",
                                    "-json", "expect", "-expect", "logs", "-logs", "wait", "-wait"};
const char* const LOG_SWITCHES[] = {"log", "-log"};
const char* const JSON_SWITCHES[] = {"json", "-json"};
const char* const EXPECT_SWITCHES[] = {"expect", "-expect"};
const char* const LOGS_SWITCHES[] = {"logs", "-logs"};
const char* const WAIT_SWITCHES[] = {"wait", "-wait"};
const char* const HELP_SWITCHES[] = {"h", "help", "-help", "?"};
const char* const VERSION_SWITCHES[] = {"version", "-version"};
const char* const LIST_SWITCHES[] = {"l", "list", "-list"};

const char* const HELP_SWITCH_LINES[] = {
    "  -n (check only: load and check the file, open no port; -c is not needed)",
    "  --expect HASH (refuse the file unless HASH is its SHA-256 or its image's)",
    "  --log FILE (append one line of JSON to FILE for each run: the record)",
    "  --json (JSON events on standard error, for a program, instead of notes)",
    "  -l or --list (list the serial ports present and what each one is; opens none)",
    "  -c usb[:serial|:vid:pid] (the one USB serial adapter present, or the one whose",
    "     serial number ends with serial, or whose IDs are vid:pid, as -l shows them)",
    "  -c port,port,... or -c usb:all (several units at once, each in a process of its",
    "     own; --logs DIR keeps each unit's console text in DIR/PORT.txt)",
    "  --wait (wait for the port, or the adapter -c usb selects, to be plugged in)",
    "  -h, -help, --help or -? (this help)",
    "  --version (print the version)",
    "Ports on this system, as given to -c:",
};

const char* const EXIT_STATUS_LINES[] = {
    "Exit status:",
    "  0  the unit answered every step of the update: flashed",
    "     (with -n: the file is good)",
    "  1  -f or -c missing or given without a value (the usage text is",
    "     printed), the port could not be opened, -c usb did not find",
    "     exactly one adapter, -l found no serial port, or the output of",
    "     -n, -l, -h or --version could not be written",
    "  2  the firmware file was refused; the unit was not touched",
    "  3  the update ended early, or was interrupted: the unit was not",
    "     flashed",
    "  4  everything was sent, but the unit failed to answer some step:",
    "     the unit may not be flashed",
    "  With several ports: 0 when every unit was flashed, 3 when some unit",
    "  was not, 4 otherwise; 1 and 2 as above, for the whole run",
};

// What is measured, and no more: the macOS branches are written but nothing here compiles them.
const char* const PLATFORM_LINES[] = {
    "Linux (amd64, arm64, armhf) and Windows are built and tested on every CI",
    "run (ARM under QEMU's emulation, Windows under Wine). macOS (arm64, x86_64)",
    "is built on every CI run but not run, as there is no Mac here; -l shows",
    "its cu.* names only.",
};

int Usage() {
    for (const char* line : USAGE) {
        ConsoleLine(line);
    }
    return STATUS_USAGE;
}

template <size_t N> bool IsOneOf(const std::string& name, const char* const (&names)[N]) {
    for (const char* known : names) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

template <size_t N> bool IsAsked(const char* const (&names)[N]) {
    for (const CCmdLine::GivenSwitch& given : CmdLine->GivenSwitches()) {
        if (IsOneOf(given.Name, names)) {
            return true;
        }
    }
    return false;
}

// The usage lines stay first and as they are: scripts and operators know them.
int Help() {
    Usage();
    for (const char* line : HELP_SWITCH_LINES) {
        ConsoleLine(line);
    }
    for (const std::string& line : PortNameHelp()) {
        ConsoleLine(line.c_str());
    }
    for (const char* line : EXIT_STATUS_LINES) {
        ConsoleLine(line);
    }
    for (const char* line : PLATFORM_LINES) {
        ConsoleLine(line);
    }
    return STATUS_HELP;
}

// One line, the same on every system, for the operator to read out to whoever helps.
int Version() {
    ConsoleLine("brelwick " BRELWICK_VERSION);
    return STATUS_HELP;
}

// A mistyped switch or a name with a space left unquoted changes what the run does without a
// word on standard output; the person watching is told what was passed over, before anything else.
void WarnOfIgnoredArguments(bool fileDropped) {
    for (const CCmdLine::GivenSwitch& given : CmdLine->GivenSwitches()) {
        if (!IsOneOf(given.Name, RUN_SWITCHES) && !IsOneOf(given.Name, HELP_SWITCHES) &&
            !IsOneOf(given.Name, VERSION_SWITCHES) && !IsOneOf(given.Name, LIST_SWITCHES)) {
            ConsoleNote("Ignoring unknown switch %s\n", given.Typed.c_str());
        }
    }
    // A file dropped on the program is its one argument, and it is the firmware file.
    if (fileDropped) {
        return;
    }
    for (const std::string& argument : CmdLine->IgnoredArguments()) {
        ConsoleNote(
            "Ignoring argument '%s': no switch takes it (a name with spaces needs quotes)\n",
            argument.c_str());
    }
}

// Quiet only for a bare -q: "-q no" asks for the prompt.
bool IsQuiet() {
    const char* quiet = CmdLine->GetSwitchValue("q");
    return quiet != nullptr && std::strcmp(quiet, "T") == 0;
}

// A bare -f or -c reads "T", a name the operator never typed: such a switch counts as missing
// ("").
std::string TypedValue(const char* name) {
    const char* value = CmdLine->HasTypedValue(name) ? CmdLine->GetSwitchValue(name) : nullptr;
    return value != nullptr ? value : "";
}

// Any -n at all means check only: when in doubt, the unit is not touched.
bool IsCheckOnly() {
    return CmdLine->GetSwitchValue("n") != nullptr;
}

void WaitForOperator() {
    for (const char* line : BANNER) {
        ConsoleLine(line);
    }
    // What is typed is not looked at; end of input lets the run go on too.
    char reply[5];
    ConsoleReadLine(reply, sizeof(reply));
}

void PrintImageSummary() {
    ConsolePrintf("Image length %u bytes\n", static_cast<unsigned>(ImageLength));
    // A file loads only when data records put bytes into the image: there is a range to show, and
    // something to send.
    for (const ImageRange& range : FilledRanges()) {
        ConsolePrintf("  filled 0x%06X-0x%06X (%u bytes)\n", static_cast<unsigned>(range.Start),
                      static_cast<unsigned>(range.End - 1),
                      static_cast<unsigned>(range.End - range.Start));
    }
    // Unlike the block count line, this counts the last, short block too.
    const unsigned whole = ImageLength / BLOCK_SIZE;
    const unsigned rest = ImageLength % BLOCK_SIZE;
    if (whole == 0) {
        ConsolePrintf("Blocks to send 1, of %u bytes\n", rest);
    } else if (rest == 0) {
        ConsolePrintf("Blocks to send %u, of 2048 bytes each\n", whole);
    } else {
        ConsolePrintf("Blocks to send %u: %u of 2048 bytes and one of %u\n",
                      static_cast<unsigned>(BlocksToSend()), whole, rest);
    }
}

// Every byte waits for its echo, and a USB adapter holds each echo until its latency timer runs
// out. Where the system shows the timer, a slow one is named before the transfer, while the
// operator can still change it.
void NoteAdapterLatency() {
    const AdapterLatency latency = SerialAdapterLatency(PortName);
    SetSlowLineRemedy(latency.Remedy);
    if (latency.TimerMs == LATENCY_UNKNOWN || latency.TimerMs <= QUICK_LATENCY_TIMER_MS) {
        return;
    }
    const double slow =
        ImageLength * ByteMsAtLatency(static_cast<unsigned>(latency.TimerMs)) / 1000;
    const double quick = ImageLength * ByteMsAtLatency(1) / 1000;
    ConsoleNote("Note: the USB adapter on %s holds every echo until its latency timer of %d ms "
                "runs out, so this image of %u bytes takes about %s, against %s at 1 ms.\n  %s\n",
                PortName.c_str(), latency.TimerMs, static_cast<unsigned>(ImageLength),
                DurationText(slow).c_str(), DurationText(quick).c_str(), latency.Remedy.c_str());
}

// The last line tells the operator where the unit stands and what to do next.
int CloseRun(int status) {
    if (status == STATUS_TRANSFER_ENDED) {
        ConsoleLine("UPDATE FAILED - THE UNIT IS NOT FLASHED: power it off and on, then run the "
                    "update again");
    } else if (status == STATUS_UNIT_UNANSWERED) {
        ConsoleLine("WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE FLASHED: run the "
                    "update again");
    }
    return status;
}

// The line goes back as after any other run before a word is said.
int EndInterrupted() {
    ReleaseResources();
    ConsoleLine("UPDATE INTERRUPTED");
    return CloseRun(STATUS_TRANSFER_ENDED);
}

// ---- The run on record (--log) and the events (--json) ----

struct RecordState {
    RunRecord Facts;
    bool Open = false;    // between OpenRecord() and CloseRecord()
    bool Reached = false; // the run got as far as naming its file: it is on record
    bool CheckOnly = false;
    bool StartSent = false;
    LogFile* Log = nullptr;
    std::string LogPath;
    std::chrono::steady_clock::time_point Began;
};
RecordState OnRecord;

// The value typed for whichever of the names was given; "" when none was, or it was bare.
template <size_t N> std::string TypedValueOf(const char* const (&names)[N]) {
    for (const char* name : names) {
        const std::string value = TypedValue(name);
        if (!value.empty()) {
            return value;
        }
    }
    return "";
}

std::string ResultText(int status) {
    switch (status) {
    case STATUS_FLASHED:
        return OnRecord.CheckOnly ? "checked" : "flashed";
    case STATUS_USAGE:
        return "port not opened";
    case STATUS_FILE_REFUSED:
        return "file refused";
    case STATUS_TRANSFER_ENDED:
        return "not flashed";
    default:
        return "may not be flashed";
    }
}

void SendStartEvent() {
    if (ConsoleJson() && !OnRecord.StartSent) {
        ConsoleEvent(StartEvent(OnRecord.Facts));
        OnRecord.StartSent = true;
    }
}

// Ends the record and the events, whichever way the run ends; a port that cannot be opened ends
// the process from deep inside, and this is called on the way out (CloseRecordAtExit()).
int CloseRecord(int status) {
    if (!OnRecord.Open) {
        return status;
    }
    OnRecord.Open = false;
    RunRecord& facts = OnRecord.Facts;
    facts.Status = status;
    if (OnRecord.Reached || status != STATUS_HELP) {
        facts.Result = ResultText(status);
    }
    const std::string lastLine = ConsoleLastLine();
    if (!lastLine.empty()) {
        facts.LastLine = lastLine;
    }
    facts.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - OnRecord.Began).count();
    facts.BlocksSent = ProgressBlocksSent();
    facts.BytesSent = ProgressBytesWritten();
    // The log first: a record that could not be written is a note, and end is the last event.
    SendStartEvent();
    if (OnRecord.Log != nullptr) {
        const int code = OnRecord.Reached ? AppendToLog(OnRecord.Log, RecordLine(facts)) : 0;
        if (code != 0) {
            ConsoleNote("The record of this run could not be written to %s: %s\n",
                        OnRecord.LogPath.c_str(), LogErrorText(code).c_str());
        }
        CloseLogFile(OnRecord.Log);
        OnRecord.Log = nullptr;
    }
    if (ConsoleJson()) {
        ConsoleEvent(EndEvent(facts));
    }
    SetConsoleJson(false);
    return status;
}

void CloseRecordAtExit() {
    CloseRecord(STATUS_USAGE);
}

// Before anything is opened: a log that cannot be written, or a fingerprint that cannot be one,
// refuses the run (STATUS_USAGE); 0 lets it go on.
int OpenRecord() {
    OnRecord = RecordState();
    OnRecord.Open = true;
    OnRecord.Began = std::chrono::steady_clock::now();
    OnRecord.Facts.Time = UtcTimeText(static_cast<int64_t>(std::time(nullptr)));
    OnRecord.Facts.Program = "brelwick " BRELWICK_VERSION;
    ProgressClearCounts();
    SetConsoleJson(IsAsked(JSON_SWITCHES));
    static bool atExit = false;
    if (!atExit) {
        atExit = std::atexit(CloseRecordAtExit) == 0;
    }
    if (IsAsked(EXPECT_SWITCHES) && !IsSha256Hex(TypedValueOf(EXPECT_SWITCHES))) {
        ConsoleNote("--expect takes a SHA-256 of 64 hexadecimal digits, as sha256sum prints it; "
                    "'%s' is not one\n",
                    TypedValueOf(EXPECT_SWITCHES).c_str());
        return Usage();
    }
    if (!IsAsked(LOG_SWITCHES)) {
        return 0;
    }
    OnRecord.LogPath = TypedValueOf(LOG_SWITCHES);
    if (OnRecord.LogPath.empty()) {
        ConsoleNote("--log takes the name of the file to append the record to\n");
        return Usage();
    }
    const int code = OpenLogFile(OnRecord.LogPath, &OnRecord.Log);
    if (code != 0) {
        ConsoleNote("Cannot open the log %s: %s\n", OnRecord.LogPath.c_str(),
                    LogErrorText(code).c_str());
        return STATUS_USAGE;
    }
    return 0;
}

void NameFirmwareFile(const std::string& file) {
    FirmwarePath = file;
    OnRecord.Reached = true;
    OnRecord.CheckOnly = IsCheckOnly();
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(file, failed);
    OnRecord.Facts.File = failed ? file : absolute.lexically_normal().string();
}

std::string AsciiLowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// -c takes a port by its listed name, its device path or its stable name; Windows takes COM names
// in any case.
bool NamesThePort(const SerialPortInfo& port) {
    return AsciiLowered(MakeDevicePath(port.Name)) == AsciiLowered(DevicePath) ||
           (!port.StableName.empty() && port.StableName == PortName);
}

// Only a run that keeps a record or sends events asks the system what the port is.
void NotePortOpened() {
    OnRecord.Facts.Port = PortName;
    if (!ConsoleJson() && OnRecord.Log == nullptr) {
        return;
    }
    for (const SerialPortInfo& port : PresentSerialPorts()) {
        if (port.Kind == PortKind::USB_ADAPTER && NamesThePort(port)) {
            OnRecord.Facts.Adapter = RecordAdapter{port.VendorId, port.ProductId, port.Serial};
        }
    }
}

bool MatchesExpected() {
    if (!IsAsked(EXPECT_SWITCHES)) {
        return true;
    }
    const std::string expected = LowerHex(TypedValueOf(EXPECT_SWITCHES));
    if (expected == *OnRecord.Facts.FileSha256 || expected == *OnRecord.Facts.ImageSha256) {
        return true;
    }
    ConsolePrintf("CRITICAL - NOT THE EXPECTED FILE: --expect %s is neither its File SHA-256 %s "
                  "nor its Image SHA-256 %s\n",
                  expected.c_str(), OnRecord.Facts.FileSha256->c_str(),
                  OnRecord.Facts.ImageSha256->c_str());
    return false;
}

// LoadHexFile(), with the file's fingerprints taken and the one expected matched. 0 when the
// file may go to the unit.
int LoadFirmware() {
    const int loaded = LoadHexFile();
    RunRecord& facts = OnRecord.Facts;
    if (!HexFileSha256.empty()) {
        facts.FileSha256 = HexFileSha256;
    }
    if (loaded != 0) {
        return loaded;
    }
    facts.ImageSha256 = Sha256Hex(FirmwareImage, ImageLength);
    facts.ImageBytes = ImageLength;
    facts.BlocksToSend = BlocksToSend();
    return MatchesExpected() ? 0 : 1;
}

// -n: the fingerprints, after what the file holds.
void PrintFingerprints() {
    ConsolePrintf("File SHA-256 %s\n", OnRecord.Facts.FileSha256->c_str());
    ConsolePrintf("Image SHA-256 %s\n", OnRecord.Facts.ImageSha256->c_str());
}

// Before the transfer and after it: which file went to the unit, for the person watching.
void NoteFingerprints() {
    if (ConsoleJson()) {
        return;
    }
    ConsoleNote("File SHA-256 %s\n", OnRecord.Facts.FileSha256->c_str());
    ConsoleNote("Image SHA-256 %s\n", OnRecord.Facts.ImageSha256->c_str());
}

// -n: the file is loaded and checked as for an update, and no port is opened.
int CheckFirmwareFile() {
    const int loaded = LoadFirmware();
    ReleaseResources();
    if (loaded != 0) {
        ConsoleLine("Check Failed: this file must not be sent to the unit");
        return STATUS_FILE_REFUSED;
    }
    PrintImageSummary();
    PrintFingerprints();
    return STATUS_FLASHED;
}

// Where the output is the point of the run, a script must not take an empty answer for one. An
// update is another matter: the unit comes first, and its status tells how it went.
int Answered(int status) {
    if (!ConsoleOutputFailed()) {
        return status;
    }
    ConsoleNote("brelwick: standard output could not be written; the answer is lost\n");
    return STATUS_OUTPUT_FAILED;
}

// Several ports: the file is checked once, before any port is opened, and the banner and its
// Enter come once for all units.
int RunSeveralUnits(const std::string& typed, const std::string& file, int argc, char** argv) {
    std::vector<std::string> ports;
    if (BenchPorts(typed, &ports) != 0) {
        return STATUS_USAGE;
    }
    FirmwarePath = file;
    const int loaded = LoadFirmware();
    ReleaseResources();
    if (loaded != 0) {
        ConsoleLine("Update Aborted");
        return STATUS_FILE_REFUSED;
    }
    if (!IsQuiet()) {
        WaitForOperator();
    }
    if (Interrupted()) {
        ConsoleLine("UPDATE INTERRUPTED");
        return STATUS_TRANSFER_ENDED;
    }
    return RunBench(ports, argc, argv, TypedValueOf(LOGS_SWITCHES));
}

// The update sequence, from the switch table on.
int RunSteps(int argc, char** argv) {
    // Started from Explorer, the program finds or asks for what a command line would give.
    const bool window = HasOwnConsoleWindow();
    std::string file = TypedValue("f");
    if (window && file.empty()) {
        const int status = TakeDroppedFile(CmdLine->IgnoredArguments(), &file);
        if (status != 0) {
            return status;
        }
    }
    WarnOfIgnoredArguments(!file.empty() && TypedValue("f").empty());
    // The listing opens nothing, whatever else was asked.
    if (IsAsked(LIST_SWITCHES)) {
        return Answered(ListPorts());
    }
    if (IsAsked(HELP_SWITCHES)) {
        return Answered(Help());
    }
    if (IsAsked(VERSION_SWITCHES)) {
        return Answered(Version());
    }
    if (window && file.empty()) {
        const int status = AskForFirmwareFile(&file);
        if (status != 0) {
            return status;
        }
    }
    if (!file.empty() && IsCheckOnly()) {
        NameFirmwareFile(file);
        return Answered(CheckFirmwareFile());
    }
    std::string port = TypedValue("c");
    if (window && port.empty()) {
        const int status = FindPortInWindow(&port);
        if (status != 0) {
            return status;
        }
    }
    if (file.empty() || port.empty()) {
        // Standard output keeps the usage lines as they are; the person watching is shown which
        // ports there are to name.
        Usage();
        if (port.empty()) {
            NamePortsPresent();
        }
        return STATUS_USAGE;
    }
    if (NamesSeveralPorts(port)) {
        return RunSeveralUnits(port, file, argc, argv);
    }
    if (IsAsked(WAIT_SWITCHES) && !WaitForPort(port)) {
        return EndInterrupted();
    }
    PortName = port;
    if (IsUsbSelector(PortName) && !FindUsbAdapter(port, &PortName)) {
        return STATUS_USAGE;
    }
    // A port that will not open is on record all the same: of a bench's units, it is the one to
    // look at.
    OnRecord.Facts.Port = PortName;
    NameFirmwareFile(file);

    // A fingerprint to match is matched before the port is opened: a wrong file never reaches
    // the unit's line.
    const bool matchFirst = IsAsked(EXPECT_SWITCHES);
    int loaded = matchFirst ? LoadFirmware() : 0;
    if (loaded == 0) {
        OpenSerialPort();
        NotePortOpened();
    }
    if (!matchFirst) {
        loaded = LoadFirmware();
    }
    if (Interrupted()) {
        return EndInterrupted();
    }
    if (loaded != 0) {
        ConsoleLine("Update Aborted");
        ReleaseResources();
        return STATUS_FILE_REFUSED;
    }
    SendStartEvent();
    NoteAdapterLatency();
    NoteFingerprints();
    if (!IsQuiet()) {
        WaitForOperator();
    }
    if (Interrupted()) {
        return EndInterrupted();
    }
    const int status = TransferImage();
    NoteFingerprints();
    if (status == STATUS_TRANSFER_ENDED && Interrupted()) {
        return EndInterrupted();
    }
    ReleaseResources();
    return CloseRun(status);
}

} // namespace

int RunUpdate(int argc, char** argv) {
    // Only a test runs the program twice in one process; the table of the run before goes.
    delete CmdLine;
    CmdLine = new CCmdLine(argc, argv);
    const int refused = OpenRecord();
    return CloseRecord(refused != 0 ? refused : RunSteps(argc, argv));
}

void ReleaseResources() {
    if (PortHandle != INVALID_PORT) {
        SerialClose(PortHandle);
        PortHandle = INVALID_PORT;
    }
    if (HexText != nullptr) {
        std::free(HexText);
        HexText = nullptr;
        HexTextLength = 0;
    }
}
