// Brelwick.exe, the Windows build, run under Wine: its COM ports are pseudo-terminals linked into a
// private Wine prefix, and the far end is the simulated unit or the test itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "posix_support.h"
#include "sim/sim_unit.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// Wine takes a while to start a program on a busy machine; nothing here waits that long otherwise.
constexpr milliseconds START_LIMIT = seconds(60);
constexpr milliseconds RUN_LIMIT = seconds(90);

// What the environment gives: the program, Wine, and the prefix this run made.
struct WineSetup {
    std::string Exe;
    std::string Wine64;
    std::string Server;
    std::string Dir;
    std::string Prefix;
    pid_t ServerPid = -1;
    pid_t DisplayPid = -1; // Xvfb, the display that wineconsole's windows open on
};
WineSetup Wine;

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Runs a Wine tool with its output into `log`; returns its exit status.
int RunLogged(const std::vector<std::string>& argv, const std::string& log, bool wait = true,
              pid_t* pid = nullptr) {
    const pid_t child = fork();
    if (child == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        Exec(argv);
    }
    if (pid != nullptr) {
        *pid = child;
    }
    int status = 0;
    if (!wait || waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program's full path when PATH has it, else "".
std::string InPath(const std::string& name) {
    const std::string path = FromEnvironment("PATH");
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find(':', at), path.size());
        const std::string candidate = path.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return "";
}

// A display of its own for the windows of the run, when Xvfb is there: Wine decides at its start
// whether it has one, so it comes before the prefix. Returns its name, such as ":1", or "".
std::string StartDisplay(const std::string& log) {
    const std::string xvfb = InPath("Xvfb");
    int ready[2];
    if (xvfb.empty() || pipe(ready) != 0) {
        return "";
    }
    Wine.DisplayPid = fork();
    if (Wine.DisplayPid == 0) {
        close(ready[0]);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, 1);
        dup2(out, 2);
        // Xvfb writes the number of the display it took to this descriptor once it serves it.
        Exec({xvfb, "-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x768x24",
              "-nolisten", "tcp"});
    }
    close(ready[1]);
    std::string number;
    for (;;) {
        const std::vector<uint8_t> digit = ReadFor(ready[0], 1, seconds(30));
        if (digit.empty() || digit[0] < '0' || digit[0] > '9') {
            break;
        }
        number += static_cast<char>(digit[0]);
    }
    close(ready[0]);
    return number.empty() ? "" : ":" + number;
}

// One prefix for the whole run, with its own wineserver: started here with its chatter going to a
// log, kept alive between the programs, and ended here alone.
class WinePrefix : public testing::Environment {
  public:
    void SetUp() override {
        Wine.Exe = FromEnvironment("BRELWICK_WINDOWS_EXE");
        Wine.Wine64 = FromEnvironment("WINE64");
        Wine.Server = FromEnvironment("WINESERVER");
        if (Wine.Exe.empty() || Wine.Wine64.empty() || Wine.Server.empty()) {
            GTEST_SKIP()
                << "BRELWICK_WINDOWS_EXE, WINE64 and WINESERVER name Brelwick.exe and Wine";
        }
        char pattern[] = "/tmp/brelwick-wine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Wine.Dir = pattern;
        Wine.Prefix = Wine.Dir + "/prefix";
        ASSERT_EQ(mkdir(Wine.Prefix.c_str(), 0755), 0);
        setenv("WINEPREFIX", Wine.Prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1); // no Mono or Gecko installers
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");

        const std::string log = Wine.Dir + "/wine.log";
        const std::string display = StartDisplay(log);
        if (!display.empty()) {
            setenv("DISPLAY", display.c_str(), 1);
        }
        RunLogged({Wine.Server, "-f", "-p"}, log, false, &Wine.ServerPid);
        ASSERT_EQ(RunLogged({Wine.Wine64, "wineboot", "-i"}, log), 0) << ReadFile(log);
        // Wine links COM ports to the machine's own serial lines; no test may reach one.
        for (int n = 1; n <= 32; ++n) {
            unlink((Wine.Prefix + "/dosdevices/com" + std::to_string(n)).c_str());
        }
    }

    void TearDown() override {
        if (Wine.ServerPid > 0) {
            RunLogged({Wine.Server, "-k"}, Wine.Dir + "/wine.log");
            waitpid(Wine.ServerPid, nullptr, 0);
        }
        if (Wine.DisplayPid > 0) {
            kill(Wine.DisplayPid, SIGTERM);
            waitpid(Wine.DisplayPid, nullptr, 0);
        }
        if (!Wine.Dir.empty()) {
            const int ignored = std::system(("rm -rf '" + Wine.Dir + "'").c_str());
            (void)ignored;
        }
    }
};

const testing::Environment* const PREFIX = testing::AddGlobalTestEnvironment(new WinePrefix);

std::string DosDevice(const std::string& name) {
    return Wine.Prefix + "/dosdevices/" + name;
}

std::vector<std::string> Brelwick(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Wine.Wine64, Wine.Exe};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Links the COM port to a pty for as long as the object lives.
class ComLink {
  public:
    ComLink(const std::string& com, const std::string& target) : m_Path(DosDevice(com)) {
        unlink(m_Path.c_str());
        EXPECT_EQ(symlink(target.c_str(), m_Path.c_str()), 0) << m_Path;
    }
    ~ComLink() { unlink(m_Path.c_str()); }

  private:
    std::string m_Path;
};

// ---- What the program must say and send ----

using Bytes = std::vector<uint8_t>;

const Bytes SMALL_IMAGE = {0x12, 0x34, 0x56};
// Sixteen zeros, as the gaps between a file's records are sent: a missing echo matches the zero
// still held.
const Bytes ZEROS(16, 0);

// Varied bytes, as firmware is: a missing echo finds the byte before still held, and it differs.
Bytes RandomImage(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes image(size);
    for (uint8_t& b : image) {
        b = static_cast<uint8_t>(random() & 0xFF);
    }
    return image;
}
const Bytes VARIED = RandomImage(64, 7);

// Two blocks, the second short, with the bytes that text mode, line disciplines and flow control
// would change: LF, CR, Ctrl-Z, XON, XOFF, NUL, DEL, 0xFF.
Bytes TwoBlockImage() {
    Bytes image(2048 + 5);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    const uint8_t awkward[] = {0x0A, 0x0D, 0x1A, 0x11, 0x13, 0x00, 0x7F, 0xFF, 0x0D, 0x0A};
    std::copy(std::begin(awkward), std::end(awkward), image.begin() + 100);
    std::copy(std::begin(awkward), std::end(awkward), image.end() - 5 - 8);
    return image;
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02x", value & 0xFFu);
    return text;
}

std::string Hex4(unsigned value) {
    return Hex2(value >> 8) + Hex2(value);
}

// Intel HEX, 16 bytes a record, with the given line end.
std::string HexFile(const Bytes& image, const std::string& eol) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += 16) {
        const size_t count = std::min<size_t>(16, image.size() - at);
        unsigned sum = static_cast<unsigned>(count + (at >> 8) + (at & 0xFF));
        char head[16];
        std::snprintf(head, sizeof(head), ":%02X%04X00", static_cast<unsigned>(count),
                      static_cast<unsigned>(at));
        text += head;
        for (size_t i = 0; i < count; ++i) {
            char digits[4];
            std::snprintf(digits, sizeof(digits), "%02X", image[at + i]);
            text += digits;
            sum += image[at + i];
        }
        char check[4];
        std::snprintf(check, sizeof(check), "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        text += check + eol;
    }
    return text + ":00000001FF" + eol;
}

const Bytes COMMAND = {0x1B, 'P', 'r', 'O', 'g', '\r'};

uint16_t BlockTotal(size_t block, const Bytes& image, size_t n) {
    unsigned sum = 0x02 + static_cast<unsigned>(block + (n >> 8) + (n & 0xFF));
    for (size_t i = 0; i < n; ++i) {
        sum += image[block * 2048 + i];
    }
    return static_cast<uint16_t>(sum);
}

size_t BlockLength(size_t block, const Bytes& image) {
    return std::min<size_t>(2048, image.size() - block * 2048);
}

size_t BlockCount(const Bytes& image) {
    return (image.size() + 2047) / 2048;
}

const std::string NOT_FLASHED =
    "UPDATE FAILED - THE UNIT IS NOT FLASHED: power it off and on, then run the update again\r\n";

// Everything that goes down the line in a whole transfer.
Bytes LineTraffic(const Bytes& image) {
    Bytes line = COMMAND;
    for (size_t b = 0; b < BlockCount(image); ++b) {
        const size_t n = BlockLength(b, image);
        const uint16_t check = static_cast<uint16_t>(0x10000u - BlockTotal(b, image, n));
        line.insert(line.end(), {0x02, static_cast<uint8_t>(b), static_cast<uint8_t>(n >> 8),
                                 static_cast<uint8_t>(n & 0xFF)});
        line.insert(line.end(), image.begin() + static_cast<long>(b * 2048),
                    image.begin() + static_cast<long>(b * 2048 + n));
        line.insert(line.end(),
                    {static_cast<uint8_t>(check >> 8), static_cast<uint8_t>(check & 0xFF), 0x03});
    }
    line.insert(line.end(), {0xFF, 0xFF});
    return line;
}

// Windows console text: every line ends in CR LF.
std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

const std::string USAGE =
    Lines({"Brelwick.exe", "  -f file", "  -q ('quiet' - do not prompt to begin)",
           "  -c com (port as COM1, COM2, COM6 ... )"});

const std::string BANNER = Lines(
    {"*******************", "  Serial port opened", "  Firmware file read in and validated",
     "*******************", "WARNING: ", "  Each block to flash takes about 30 seconds",
     "  Do NOT power off the unit while loading", "  Do NOT use the keyer or dial while loading",
     "  Do NOT move the unit while loading", "  Do NOT even look at it cross-eyed while loading",
     "  Just sit patiently and watch.  Or get coffee",
     "  INSURE THE UNIT IS ON, AND HAS FRESH BATTERIES OR ALTERNATE POWER",
     "  Press <enter> to begin  AND DO NOT DISTURB UNTIL DONE"});

std::string FileRead(const std::string& file, size_t size, size_t read) {
    return Lines({"Loading " + file + "  Size " + std::to_string(size) + " ",
                  "Loaded " + file + "  Size " + std::to_string(read) + " "});
}

std::string BlocksLine(const Bytes& image) {
    return Lines(
        {"HEX file contains " + std::to_string(image.size() / 2048) + " blocks to transfer"});
}

std::string Loading(const std::string& file, size_t size, size_t read, const Bytes& image) {
    return FileRead(file, size, read) + BlocksLine(image);
}

// What a whole transfer with a unit that answers every step prints after the file is loaded.
std::string TransferText(const Bytes& image, const Bytes& ack = {0x06}) {
    std::string text = "1b 50 72 4f 67 0d Waiting for SOH\r\n\x01STARTED\r\n";
    for (size_t b = 0; b < BlockCount(image); ++b) {
        const size_t n = BlockLength(b, image);
        const uint16_t total = BlockTotal(b, image, n);
        char sums[48];
        std::snprintf(sums, sizeof(sums), " Data Complete: CK %04x SM %04x", total,
                      static_cast<uint16_t>(0x10000u - total));
        text += "02 " + Hex2(static_cast<unsigned>(b)) + " " + Hex2(static_cast<unsigned>(n >> 8)) +
                " " + Hex2(static_cast<unsigned>(n)) + " \r\n";
        text += Lines({sums, " Pausing for unit to erase FLASH block", Hex2(ack[0]) + " ",
                       "CKSUM ACKED", "Pausing for unit to write FLASH block", "Erased and flashed",
                       "Block # " + std::to_string(b) + " loaded..."});
    }
    return text + Lines({"Transfer Complete.  Power off the unit and power it back on"});
}

// ---- Runs against the simulated unit ----

struct SimRun {
    ProcessResult Run;
    Bytes Line;  // what came down the line
    Bytes Flash; // what the unit wrote into its flash
};

Bytes ReadBytes(const std::string& path) {
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

// unit-sim makes the pty and the COM link, runs the program and exits with its status, or with 8
// when the program said 0 but the unit did not receive every block with its check value holding.
// The pty is left as a new tty has it (echo, XON/XOFF, CR to LF, ...), as a USB serial adapter is
// when it has just been plugged in: the program must make every byte pass whatever the port held.
SimRun RunWithUnit(const TempDir& dir, const std::string& com,
                   const std::vector<std::string>& faults, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BRELWICK_UNIT_SIM, "--verbose",    "--tty-defaults",
                                     "--link",          DosDevice(com), "--rx",
                                     dir.Path("rx"),    "--out",        dir.Path("flash")};
    argv.insert(argv.end(), faults.begin(), faults.end());
    argv.push_back("--");
    const std::vector<std::string> program = Brelwick(args);
    argv.insert(argv.end(), program.begin(), program.end());
    Child child(argv, dir.Path(""));
    SimRun run;
    run.Run = child.Finish(RUN_LIMIT);
    run.Line = ReadBytes(dir.Path("rx"));
    run.Flash = ReadBytes(dir.Path("flash"));
    return run;
}

// A serial device as Windows enters it in the registry: a key under Enum (an FTDI adapter's own
// driver keeps it under FTDIBUS, named after its IDs and serial number) whose Device Parameters
// hold the COM port it got and its latency timer; and, while it is plugged in, a value of
// SERIALCOMM.
struct EnumDevice {
    std::string Key; // under Enum
    std::string Port;
    int LatencyMs = -1;                    // no LatencyTimer when negative
    std::string Device = "";               // its SERIALCOMM value; "" when it is not plugged in
    std::vector<std::string> Strings = {}; // Mfg, DeviceDesc
    std::string ClassGuid = "";            // with one, SetupAPI lists the device as present
};

// Device Manager's class "Other devices", where a device without a driver is.
const std::string OTHER_DEVICES = "{4d36e97e-e325-11ce-bfc1-08002be10318}";

const std::string ENUM = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::string SERIALCOMM = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The devices are in the registry for as long as the object lives.
class EnumDevices {
  public:
    explicit EnumDevices(const std::vector<EnumDevice>& devices) : m_Devices(devices) {
        if (std::any_of(devices.begin(), devices.end(),
                        [](const EnumDevice& d) { return !d.Device.empty(); })) {
            WaitForSerialComm();
        }
        for (const EnumDevice& d : devices) {
            const std::string parameters = ENUM + d.Key + "\\Device Parameters";
            if (!d.Port.empty()) {
                EXPECT_EQ(Reg({"add", parameters, "/v", "PortName", "/d", d.Port, "/f"}), 0);
            }
            if (!d.ClassGuid.empty()) {
                EXPECT_EQ(Reg({"add", ENUM + d.Key, "/v", "ClassGUID", "/d", d.ClassGuid, "/f"}),
                          0);
            }
            if (d.LatencyMs >= 0) {
                EXPECT_EQ(Reg({"add", parameters, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d",
                               std::to_string(d.LatencyMs), "/f"}),
                          0);
            }
            const char* const names[] = {"Mfg", "DeviceDesc"};
            for (size_t i = 0; i < d.Strings.size(); ++i) {
                EXPECT_EQ(Reg({"add", ENUM + d.Key, "/v", names[i], "/d", d.Strings[i], "/f"}), 0);
            }
            if (!d.Device.empty()) {
                EXPECT_EQ(AddToSerialComm(d), 0);
            }
        }
    }
    ~EnumDevices() {
        for (const EnumDevice& d : m_Devices) {
            Reg({"delete", ENUM + d.Key, "/f"});
            if (!d.Device.empty()) {
                Reg({"delete", SERIALCOMM, "/v", d.Device, "/f"});
            }
        }
    }

  private:
    // SERIALCOMM is a volatile key that Wine makes when it sets up its own COM1, a moment after its
    // server starts; a value added before then would need the key made anew under HKLM\HARDWARE,
    // which refuses keys that are not volatile.
    static void WaitForSerialComm() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (Reg({"query", SERIALCOMM}) != 0 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    // Once in a while, at the suite's first port, the add fails all the same while Wine is busy
    // with the key; a moment later it goes through.
    static int AddToSerialComm(const EnumDevice& d) {
        int status = 1;
        for (int attempt = 0; attempt < 5 && status != 0; ++attempt) {
            if (attempt > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            status = Reg({"add", SERIALCOMM, "/v", d.Device, "/d", d.Port, "/f"});
        }
        return status;
    }
    static int Reg(std::vector<std::string> args) {
        args.insert(args.begin(), {Wine.Wine64, "reg"});
        return RunLogged(args, Wine.Dir + "/wine.log");
    }
    std::vector<EnumDevice> m_Devices;
};

// An FTDI adapter with its own driver, plugged in on COM7; a CH340 without a serial number on
// COM8; and an FTDI adapter unplugged long ago, which Enum still remembers on COM9.
const EnumDevice FTDI_COM7{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
                           "COM7",
                           1,
                           "\\Device\\VCP0",
                           {"@oem12.inf,%ftdi%;FTDI",
                            "@oem12.inf,%usb\\vid_0403&pid_6001.devicedesc%;"
                            "USB Serial Port"}};
const EnumDevice CH340_COM8{"USB\\VID_1A86&PID_7523\\5&2B3C4D5&0&2",
                            "COM8",
                            -1,
                            "\\Device\\wchser0",
                            {"wch.cn", "USB-SERIAL CH340"}};
const EnumDevice GONE_COM9{"USB\\VID_0403&PID_6015\\DN04ZQ7T", "COM9", 16};
const std::vector<EnumDevice> ADAPTERS = {GONE_COM9, CH340_COM8, FTDI_COM7};
// Present without a COM port: an FTDI adapter whose driver has Load VCP unticked, and a CH340 that
// Wine shows with no problem code; and one with its port, which is left out.
const EnumDevice FTDI_NO_VCP{"USB\\VID_0403&PID_6014\\FT9XQ2LA", "",           -1, "",
                             {"FTDI", "USB Serial Converter"},   OTHER_DEVICES};
const EnumDevice CH340_NO_PORT{
    "USB\\VID_1A86&PID_7523\\5&1A2B3C&0&1", "", -1, "", {}, OTHER_DEVICES};
const EnumDevice CP2102_COM4{"USB\\VID_10C4&PID_EA60\\0001", "COM4",       -1, "",
                             {"Silicon Labs", "CP210x"},     OTHER_DEVICES};
const std::vector<EnumDevice> PORTLESS = {FTDI_NO_VCP, CH340_NO_PORT, CP2102_COM4};
const std::string NO_VCP_LINE = "USB serial adapter 0403:6014 FTDI USB Serial Converter, serial "
                                "FT9XQ2LA has no COM port: in Device Manager, the adapter's "
                                "Advanced properties, tick Load VCP";
// A CP210x plugged in on COM10, with the other two: three adapters.
const EnumDevice CP210X_COM10{"USB\\VID_10C4&PID_EA60\\0001",
                              "COM10",
                              -1,
                              "\\Device\\Silabser0",
                              {"Silicon Labs", "CP210x USB to UART Bridge"}};
const std::string FTDI_COM7_TEXT =
    "USB serial adapter 0403:6001 FTDI USB Serial Port, serial A50285BI, latency timer 1 ms";

struct UpdateCase {
    const char* Title;
    std::vector<std::string> Args;
    const char* Com;
    bool TwoBlocks;
    bool Banner;
    std::vector<EnumDevice> Adapters = {};
    std::string Note = "";    // what standard error begins with
    std::string Adapter = ""; // with --log: the record's adapter, as JSON
};
PRINTS_AS_TITLE(UpdateCase)

class WholeUpdate : public testing::TestWithParam<UpdateCase> {};

// The console text and the bytes on the line, both exactly, from a CR LF file. Standard error has
// the note about a slow FTDI adapter before the transfer, and the summary after it; no progress
// line, since it is not a console.
TEST_P(WholeUpdate, SaysAndSendsExactlyWhatItShould) {
    const UpdateCase& c = GetParam();
    const Bytes image = c.TwoBlocks ? TwoBlockImage() : SMALL_IMAGE;
    TempDir dir;
    const std::string file = HexFile(image, "\r\n");
    dir.Write("fw.hex", file);

    const EnumDevices adapters(c.Adapters);
    const SimRun run = RunWithUnit(dir, c.Com, {}, c.Args);
    EXPECT_EQ(run.Run.Status, 0) << run.Run.Err;
    EXPECT_EQ(run.Run.Out, Loading("fw.hex", file.size(), file.size(), image) +
                               (c.Banner ? BANNER : "") + TransferText(image));
    EXPECT_EQ(run.Line, LineTraffic(image));
    EXPECT_EQ(run.Flash, image);
    const std::string& err = run.Run.Err;
    EXPECT_EQ(err.substr(0, c.Note.size()), c.Note);
    if (c.Note.empty()) {
        EXPECT_EQ(err.find("latency"), std::string::npos) << err;
    }
    EXPECT_NE(err.find("Sent " + std::to_string(image.size()) + " bytes in "), std::string::npos)
        << err;
    EXPECT_EQ(err.find("Block #"), std::string::npos) << err;
    // The record names the adapter as the port listing knows it.
    if (std::find(c.Args.begin(), c.Args.end(), "--log") != c.Args.end()) {
        const std::string logged = ReadFile(dir.Path("runs.log"));
        ASSERT_TRUE(nlohmann::json::accept(logged)) << logged;
        const nlohmann::json record = nlohmann::json::parse(logged);
        EXPECT_EQ(record["adapter"], nlohmann::json::parse(c.Adapter)) << logged;
        EXPECT_EQ(record["result"], "flashed");
        EXPECT_EQ(record["blocks"], BlockCount(image));
        EXPECT_EQ(record["bytes_sent"], run.Line.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wine, WholeUpdate,
    testing::Values(
        // The Windows switch rules: "/" starts a switch, names in any case; no -q, so the banner,
        // and the closed input lets the run go on.
        UpdateCase{
            "TwoBlocksWithWindowsSwitches", {"/C", "COM3", "-F", "fw.hex"}, "com3", true, true},
        // COM10 and up open only as "\\.\COM12".
        UpdateCase{"TwoDigitComPort", {"-c", "COM12", "-f", "fw.hex", "-q"}, "com12", false, false},
        UpdateCase{"SlashQuiet", {"/c", "COM3", "/f", "fw.hex", "/Q"}, "com3", false, false},
        // The port's own adapter is found among others, by its port name in any case.
        UpdateCase{"SlowFtdiAdapterNamed",
                   {"-c", "com5", "-f", "fw.hex", "-q"},
                   "com5",
                   true,
                   false,
                   {{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "COM9", 1},
                    {"FTDIBUS\\VID_0403+PID_6015+DN04ZQ7TA\\0000", "COM5", 16}},
                   "Note: the USB adapter on com5 holds every echo until its latency timer of 16 "
                   "ms runs out, so this image of 2053 bytes takes about 0:33, against 0:04 at 1 "
                   "ms.\r\n  To set it to 1 ms: Device Manager, com5 under Ports (COM & LPT), "
                   "Properties, Port Settings, Advanced, Latency Timer (msec).\r\n"},
        UpdateCase{"QuickFtdiAdapterNotNamed",
                   {"-c", "COM5", "-f", "fw.hex", "-q"},
                   "com5",
                   false,
                   false,
                   {{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "COM9", 16},
                    {"FTDIBUS\\VID_0403+PID_6015+DN04ZQ7TA\\0000", "COM5", 2}}},
        // -c usb:vid:pid finds the adapter on COM7 among the ports present, says so on standard
        // error, and the run is the same, byte for byte, as one that names COM7.
        UpdateCase{"UsbAdapterByItsIds",
                   {"-c", "usb:0403:6001", "-f", "fw.hex", "-q"},
                   "com7",
                   true,
                   false,
                   ADAPTERS,
                   "Using COM7 for -c usb:0403:6001: " + FTDI_COM7_TEXT + "\r\n"},
        UpdateCase{"UsbAdapterOnRecord",
                   {"-c", "com7", "-f", "fw.hex", "-q", "--log", "runs.log"},
                   "com7",
                   true,
                   false,
                   ADAPTERS,
                   "",
                   R"({"vid":"0403","pid":"6001","serial":"A50285BI"})"},
        UpdateCase{"UsbAdapterByItsName",
                   {"-c", "COM7", "-f", "fw.hex", "-q"},
                   "com7",
                   true,
                   false,
                   ADAPTERS}),
    TitleOf<UpdateCase>);

struct StatusCase {
    const char* Title;
    std::vector<std::string> Faults;
    std::vector<std::string> Args;
    int Status;
    std::string Ending; // how the console text ends
};
PRINTS_AS_TITLE(StatusCase)

class ExitStatus : public testing::TestWithParam<StatusCase> {};

std::string LastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

// With --log, the file the operator named, as typed, holds one record of the run; with --json,
// the program's standard error holds events, the last one end, and no line for a person.
void ExpectRecordAndEvents(const TempDir& dir, const StatusCase& c, const ProcessResult& run) {
    const auto log = std::find(c.Args.begin(), c.Args.end(), "--log");
    if (log != c.Args.end()) {
        const std::string logged = ReadFile(dir.Path(*(log + 1)));
        ASSERT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
        ASSERT_TRUE(nlohmann::json::accept(logged)) << logged;
        const nlohmann::json record = nlohmann::json::parse(logged);
        EXPECT_EQ(record["status"], c.Status);
        EXPECT_EQ(record["last_line"], LastLine(run.Out));
    }
    if (std::find(c.Args.begin(), c.Args.end(), "/json") == c.Args.end()) {
        return;
    }
    std::istringstream lines(run.Err);
    std::vector<nlohmann::json> events;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        EXPECT_EQ(line.rfind("Sent ", 0), std::string::npos) << "a summary for a person: " << line;
        if (line.rfind('{', 0) == 0) {
            ASSERT_TRUE(nlohmann::json::accept(line)) << line;
            events.push_back(nlohmann::json::parse(line));
        }
    }
    ASSERT_FALSE(events.empty()) << run.Err;
    EXPECT_EQ(events.back()["event"], "end");
    EXPECT_EQ(events.back()["status"], c.Status);
    EXPECT_EQ(events.back()["last_line"], LastLine(run.Out));
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const nlohmann::json& e) { return e["event"] == "start"; }),
              1);
}

TEST_P(ExitStatus, TellsHowTheRunEnded) {
    const StatusCase& c = GetParam();
    TempDir dir;
    dir.Write("fw.hex", HexFile(SMALL_IMAGE, "\n"));
    dir.Write("zeros.hex", HexFile(ZEROS, "\n"));
    dir.Write("varied.hex", HexFile(VARIED, "\n"));
    dir.Write("bad.hex", ":0300000012345662\n:00000001FF\n");
    dir.Write("empty.hex", "");
    const SimRun run = RunWithUnit(dir, "com5", c.Faults, c.Args);
    EXPECT_EQ(run.Run.Status, c.Status) << run.Run.Out << run.Run.Err;
    const std::string& out = run.Run.Out;
    EXPECT_TRUE(out.size() >= c.Ending.size() &&
                out.compare(out.size() - c.Ending.size(), c.Ending.size(), c.Ending) == 0)
        << out;
    if (c.Status == 1 || c.Status == 2) {
        EXPECT_EQ(run.Line, Bytes()) << "the unit was touched";
    }
    ExpectRecordAndEvents(dir, c, run.Run);
}

const std::string COMPLETE = "Transfer Complete.  Power off the unit and power it back on\r\n";
const std::string MAY_NOT_BE_FLASHED =
    "WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE FLASHED: run the update again\r\n";

INSTANTIATE_TEST_SUITE_P(
    Wine, ExitStatus,
    testing::Values(
        StatusCase{"Flashed", {}, {"-c", "COM5", "-f", "fw.hex", "-q"}, 0, COMPLETE},
        // On record: the log named as typed, appended with FILE_APPEND_DATA, and the events.
        StatusCase{"FlashedOnRecord",
                   {},
                   {"-c", "COM5", "-f", "fw.hex", "-q", "--log", "runs.log", "/json"},
                   0,
                   COMPLETE},
        StatusCase{"RefusedOnRecord",
                   {},
                   {"-c", "COM5", "-f", "bad.hex", "-q", "/log", "runs.log", "/json"},
                   2,
                   "Update Aborted\r\n"},
        // Ended from deep inside the open, and still on record.
        StatusCase{"PortDoesNotExistOnRecord",
                   {},
                   {"-c", "COM7", "-f", "fw.hex", "--log", "runs.log", "/json"},
                   1,
                   "File not found - serial ports on this machine: COM1\r\n"},
        StatusCase{"NotTheExpectedFile",
                   {},
                   {"-c", "COM5", "-f", "fw.hex", "-q", "--expect", std::string(64, '0')},
                   2,
                   "Update Aborted\r\n"},
        StatusCase{"UsageWithoutPort", {}, {"-f", "fw.hex"}, 1, USAGE},
        // Only a console window of the program's own takes a file without -f.
        StatusCase{"FileAloneFromAShell", {}, {"fw.hex"}, 1, USAGE},
        // A bare /f would read "T", a file the operator never named.
        StatusCase{"BareFileIsMissing", {}, {"-c", "COM5", "/f", "/q"}, 1, USAGE},
        StatusCase{
            "PortDoesNotExist",
            {},
            {"-c", "COM7", "-f", "fw.hex"},
            1,
            "Error Opening COM7... 2\r\nFile not found - serial ports on this machine: COM1\r\n"},
        StatusCase{"FileMissing",
                   {},
                   {"-c", "COM5", "-f", "none.hex", "-q"},
                   2,
                   "Uable to access file none.hex \r\nUpdate Aborted\r\n"},
        StatusCase{"ChecksumFails",
                   {},
                   {"-c", "COM5", "-f", "bad.hex", "-q"},
                   2,
                   Lines({"CRITICAL - CHECKSUM FAILURE on LINE 1",
                          "HEX file contains 0 blocks to transfer", "Update Aborted"})},
        StatusCase{"NothingForTheUnit",
                   {},
                   {"-c", "COM5", "-f", "empty.hex", "-q"},
                   2,
                   Lines({"CRITICAL - NO DATA FOR THE UNIT IN THIS FILE",
                          "HEX file contains 0 blocks to transfer", "Update Aborted"})},
        StatusCase{"HandshakeEchoWrong",
                   {"--bad-echo", "1"},
                   {"-c", "COM5", "-f", "fw.hex", "-q"},
                   3,
                   "\n3b FAILED TO START DEVICE INTO TRANSFER MODE\r\n" + NOT_FLASHED},
        StatusCase{"DataEchoWrong",
                   {"--wrong-echo", "0:1"},
                   {"-c", "COM5", "-f", "fw.hex", "-q"},
                   3,
                   "\nCRITICAL  Byte 1 (34 != 6e) mismatch\r\n" + NOT_FLASHED},
        StatusCase{"DataEchoWrongInVariedData",
                   {"--wrong-echo", "0:9"},
                   {"-c", "COM5", "-f", "varied.hex", "-q"},
                   3,
                   "\nCRITICAL  Byte 9 (" + Hex2(VARIED[9]) + " != " + Hex2(VARIED[9] ^ 0x5Au) +
                       ") mismatch\r\n" + NOT_FLASHED},
        // With the real time-outs, 10.2 s: the echo of byte 3 still held is not compared.
        StatusCase{"OneEchoMissingInVariedData",
                   {"--miss-echo", "0:4"},
                   {"-c", "COM5", "-f", "varied.hex", "-q"},
                   4,
                   "\nBYTE # 4 Count = 0  FAILED 0\r\n Data Complete: CK " +
                       Hex4(BlockTotal(0, VARIED, VARIED.size())) + " SM " +
                       Hex4(0x10000u - BlockTotal(0, VARIED, VARIED.size())) + "\r\n" +
                       Lines({" Pausing for unit to erase FLASH block", "06 ", "CKSUM ACKED",
                              "Pausing for unit to write FLASH block", "Erased and flashed",
                              "Block # 0 loaded..."}) +
                       COMPLETE + MAY_NOT_BE_FLASHED},
        StatusCase{"HeaderEchoShort",
                   {"--short-header", "0"},
                   {"-c", "COM5", "-f", "fw.hex", "-q"},
                   4,
                   COMPLETE + "WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE "
                              "FLASHED: run the update again\r\n"},
        // With the real time-outs: two echoes in a row missing, 20.3 s. Under Wine a pty that
        // hangs up looks the same: its reads time out and its writes succeed.
        StatusCase{"UnitStopsAnswering",
                   {"--silent-from", "0:4"},
                   {"-c", "COM5", "-f", "zeros.hex", "-q"},
                   3,
                   Lines({"BYTE # 4 Count = 0  FAILED 0", "BYTE # 5 Count = 0  FAILED 0",
                          "CRITICAL - THE UNIT STOPPED ANSWERING AT BYTE 5 OF BLOCK 0"}) +
                       NOT_FLASHED},
        StatusCase{"UnitStopsAnsweringInVariedData",
                   {"--silent-from", "0:4"},
                   {"-c", "COM5", "-f", "varied.hex", "-q"},
                   3,
                   "02 00 00 40 \r\n" +
                       Lines({"BYTE # 4 Count = 0  FAILED 0", "BYTE # 5 Count = 0  FAILED 0",
                              "CRITICAL - THE UNIT STOPPED ANSWERING AT BYTE 5 OF BLOCK 0"}) +
                       NOT_FLASHED}),
    TitleOf<StatusCase>);

// "\\.\" reaches files and devices that are no serial port; the protocol must never go into one.
// The code Wine gives for the refused line settings is its own, so only the message's form is
// checked.
TEST(NotAPort, AFileBehindTheComNameIsRefusedUntouched) {
    TempDir dir;
    dir.Write("fw.hex", HexFile(SMALL_IMAGE, "\n"));
    const std::string file = dir.Write("not-a-port", "");
    ComLink link("com6", file);
    Child program(Brelwick({"-c", "COM6", "-f", "fw.hex", "-q"}), dir.Path(""));
    const ProcessResult run = program.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out.rfind("Error Opening COM6... ", 0), 0u) << run.Out;
    EXPECT_EQ(run.Out.find("Error Opening COM6... 0\r\n"), std::string::npos) << run.Out;
    EXPECT_EQ(ReadFile(file), "");
}

// ---- Reading the file: every byte as it is, as on every other system ----

struct TextCase {
    const char* Title;
    std::string File;
    int Status;
    std::string Out;
};
PRINTS_AS_TITLE(TextCase)

class FileBytes : public testing::TestWithParam<TextCase> {};

TEST_P(FileBytes, ReadsTheFileAsItIsOnEverySystem) {
    TempDir dir;
    dir.Write("fw.hex", GetParam().File);
    Child child(Brelwick({"-n", "-f", "fw.hex"}), dir.Path(""));
    const ProcessResult run = child.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, GetParam().Status) << run.Err;
    // A good file's fingerprints: its bytes as they are on disk, CRs included, and the image's.
    std::string out = GetParam().Out;
    if (GetParam().Status == 0) {
        const std::string image =
            dir.Write("image.bin", std::string(SMALL_IMAGE.begin(), SMALL_IMAGE.end()));
        out += "File SHA-256 " + Sha256Sum(dir.Path("fw.hex")) + "\r\nImage SHA-256 " +
               Sha256Sum(image) + "\r\n";
    }
    EXPECT_EQ(run.Out, out);
}

const std::string SMALL_SUMMARY =
    Lines({"Image length 3 bytes", "  filled 0x000000-0x000002 (3 bytes)",
           "Blocks to send 1, of 3 bytes"});

INSTANTIATE_TEST_SUITE_P(
    Wine, FileBytes,
    testing::Values(
        // Each CR is read, and passed over as a blank.
        TextCase{"CrLfFile", ":0300000012345661\r\n:00000001FF\r\n", 0,
                 Loading("fw.hex", 32, 32, SMALL_IMAGE) + SMALL_SUMMARY},
        // A Ctrl-Z does not end the text: the damaged record after it is seen.
        TextCase{"CtrlZDoesNotEndTheText", ":0300000012345661\n\x1a:0300000012345662\n", 2,
                 FileRead("fw.hex", 37, 37) + Lines({"CRITICAL - CHECKSUM FAILURE on LINE 2"}) +
                     BlocksLine(SMALL_IMAGE) +
                     Lines({"Check Failed: this file must not be sent to the unit"})}),
    TitleOf<TextCase>);

struct SwitchCase {
    const char* Title;
    std::vector<std::string> Args;
    std::string Out;   // how standard output begins
    std::string Holds; // a line standard output holds further on; none: Out is all of it
    std::string Err;
};
PRINTS_AS_TITLE(SwitchCase)

class WindowsSwitches : public testing::TestWithParam<SwitchCase> {};

// Help by the Windows switch too, with the COM port names; a switch the program does not know is
// named on standard error and the run goes on.
TEST_P(WindowsSwitches, HelpAndWarnings) {
    const SwitchCase& c = GetParam();
    TempDir dir;
    dir.Write("fw.hex", ":0300000012345661\n:00000001FF\n");
    Child child(Brelwick(c.Args), dir.Path(""));
    const ProcessResult run = child.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out.substr(0, c.Out.size()), c.Out);
    if (c.Holds.empty()) {
        EXPECT_EQ(run.Out, c.Out);
    }
    EXPECT_NE(run.Out.find(c.Holds, c.Out.size()), std::string::npos) << run.Out;
    EXPECT_EQ(run.Err, c.Err);
}

const std::string HELP_START = USAGE + Lines({"  -n (check only: load and check the file, open no "
                                              "port; -c is not needed)"});

INSTANTIATE_TEST_SUITE_P(
    Wine, WindowsSwitches,
    testing::Values(
        SwitchCase{"SlashQuestionMark", {"/?"}, HELP_START, "\r\n  COM3 ", ""},
        SwitchCase{"SlashHelp", {"/HELP"}, HELP_START, "\r\nExit status:\r\n", ""},
        SwitchCase{"UnknownSlashSwitch",
                   {"/x", "/n", "/f", "fw.hex"},
                   Loading("fw.hex", 30, 30, SMALL_IMAGE),
                   SMALL_SUMMARY,
                   Lines({"Ignoring unknown switch /x"})},
        SwitchCase{"DashDashVersion", {"--version"}, Lines({"brelwick " BRELWICK_VERSION}), "", ""},
        SwitchCase{"SlashVersion",
                   {"/VERSION", "/c", "COM3", "/f", "fw.hex"},
                   Lines({"brelwick " BRELWICK_VERSION}),
                   "",
                   ""}),
    TitleOf<SwitchCase>);

// ---- What the file itself says: the version resource and the manifest ----

// A little-endian number of `size` bytes at `at`; 0 past the end, so that a damaged file fails
// the comparisons, not the test program.
uint32_t Le(const Bytes& b, size_t at, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i-- > 0;) {
        value = value << 8 | (at + i < b.size() ? b[at + i] : 0u);
    }
    return value;
}

// Where the first resource of `type` is in the file, and its size, as the PE file's resource
// directory (type, name, language) gives them; 0 when there is none. A PE32+ file, as the 64-bit
// build is.
size_t FindResource(const Bytes& exe, uint32_t type, size_t* size) {
    const size_t pe = Le(exe, 0x3C, 4);
    const size_t optional = pe + 4 + 20;
    if (Le(exe, pe, 4) != 0x4550 || Le(exe, optional, 2) != 0x20B) {
        return 0;
    }
    const size_t sections = Le(exe, pe + 4 + 2, 2);
    const size_t sectionTable = optional + Le(exe, pe + 4 + 16, 2);
    const auto Offset = [&](uint32_t rva) -> size_t {
        for (size_t s = 0; s < sections; ++s) {
            const size_t header = sectionTable + s * 40;
            const uint32_t start = Le(exe, header + 12, 4);
            if (rva >= start && rva - start < Le(exe, header + 16, 4)) {
                return Le(exe, header + 20, 4) + (rva - start);
            }
        }
        return 0;
    };
    // The third data directory is the resources'.
    const size_t root = Offset(Le(exe, optional + 112 + 2 * 8, 4));
    size_t directory = root;
    for (int level = 0; root != 0 && level < 3; ++level) {
        const size_t entries = Le(exe, directory + 12, 2) + Le(exe, directory + 14, 2);
        size_t entry = 0;
        for (size_t e = 0; e < entries && entry == 0; ++e) {
            const size_t at = directory + 16 + e * 8;
            entry = level > 0 || Le(exe, at, 4) == type ? at : 0;
        }
        if (entry == 0) {
            return 0;
        }
        const uint32_t below = Le(exe, entry + 4, 4);
        if (level < 2) {
            directory = root + (below & 0x7FFFFFFFu);
        } else {
            *size = Le(exe, root + below + 4, 4);
            return Offset(Le(exe, root + below, 4));
        }
    }
    return 0;
}

// UTF-16 text up to its terminating zero, as ASCII; `after` gets where the zero ends.
std::string Utf16(const Bytes& b, size_t at, size_t end, size_t* after) {
    std::string text;
    for (; at + 1 < end && Le(b, at, 2) != 0; at += 2) {
        const uint32_t c = Le(b, at, 2);
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    *after = at + 2;
    return text;
}

struct VersionInfo {
    uint32_t Fixed[4] = {}; // file version, high and low half; product version, the same
    std::map<std::string, std::string> Strings;
};

// One block of VS_VERSIONINFO and the blocks inside it: its length, its value's length, its type
// (1: text), its key, then its value and its children, each from a 4-byte boundary of the
// resource that starts at `base`.
void ReadVersionBlock(const Bytes& b, size_t base, size_t at, VersionInfo* info) {
    const auto Align = [base](size_t offset) { return base + ((offset - base + 3) & ~size_t{3}); };
    const size_t end = at + Le(b, at, 2);
    const size_t valueLength = Le(b, at + 2, 2);
    const bool text = Le(b, at + 4, 2) == 1;
    size_t value = 0;
    const std::string key = Utf16(b, at + 6, end, &value);
    value = Align(value);
    if (key == "VS_VERSION_INFO" && Le(b, value, 4) == 0xFEEF04BD) {
        for (size_t i = 0; i < 4; ++i) {
            info->Fixed[i] = Le(b, value + 8 + 4 * i, 4);
        }
    } else if (text && valueLength > 0) {
        size_t ignored = 0;
        info->Strings[key] = Utf16(b, value, end, &ignored);
    }
    size_t child = Align(value + (text ? 2 * valueLength : valueLength));
    while (child + 6 < end && Le(b, child, 2) > 0) {
        ReadVersionBlock(b, base, child, info);
        child = Align(child + Le(b, child, 2));
    }
}

// The version an operator sees in Explorer's Properties, and the one Windows compares, are the
// build's; the manifest runs the program as the operator, as a Windows 10 and 11 program.
TEST(WindowsResources, CarryTheBuildsVersionAndTheManifest) {
    const Bytes exe = ReadBytes(Wine.Exe);
    size_t size = 0;
    const size_t version = FindResource(exe, 16, &size); // RT_VERSION
    ASSERT_NE(version, 0u) << Wine.Exe << " has no version resource";
    VersionInfo info;
    ReadVersionBlock(exe, version, version, &info);
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(BRELWICK_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    const uint32_t high = major << 16 | minor;
    const uint32_t low = patch << 16;
    EXPECT_EQ(info.Fixed[0], high);
    EXPECT_EQ(info.Fixed[1], low);
    EXPECT_EQ(info.Fixed[2], high);
    EXPECT_EQ(info.Fixed[3], low);
    EXPECT_EQ(info.Strings["FileVersion"], BRELWICK_VERSION);
    EXPECT_EQ(info.Strings["ProductVersion"], BRELWICK_VERSION);
    EXPECT_EQ(info.Strings["ProductName"], "brelwick");
    EXPECT_NE(info.Strings["FileDescription"].find("firmware"), std::string::npos);
    EXPECT_NE(info.Strings["LegalCopyright"].find("2026 the brelwick authors"), std::string::npos);

    const size_t manifestAt = FindResource(exe, 24, &size); // RT_MANIFEST
    ASSERT_NE(manifestAt, 0u) << Wine.Exe << " has no manifest";
    const std::string manifest(exe.begin() + static_cast<long>(manifestAt),
                               exe.begin() +
                                   static_cast<long>(std::min(manifestAt + size, exe.size())));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
              std::string::npos)
        << manifest;
}

struct PortsCase {
    const char* Title;
    std::vector<std::string> Args;
    int Status;
    std::string Out;
    std::string Err;
    std::vector<EnumDevice> Adapters = ADAPTERS;
    bool AnyOrder = false; // units' lines come as each ends, in no order of their own
    std::vector<EnumDevice> Present = {}; // USB devices SetupAPI lists besides the adapters
};
PRINTS_AS_TITLE(PortsCase)

std::multiset<std::string> LineSet(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.insert(line);
    }
    return lines;
}

class PortsPresent : public testing::TestWithParam<PortsCase> {};

// Only the ports in SERIALCOMM are present; Enum says what they are. Each adapter's COM name
// leads nowhere, so that a run that takes it finds nothing to open.
TEST_P(PortsPresent, AreListedAndFoundFromTheRegistry) {
    const PortsCase& c = GetParam();
    const EnumDevices adapters(c.Adapters);
    std::vector<std::unique_ptr<ComLink>> nowhere;
    for (const EnumDevice& d : c.Adapters) {
        std::string com = d.Port;
        std::transform(com.begin(), com.end(), com.begin(), ::tolower);
        nowhere.push_back(std::make_unique<ComLink>(com, "/nonexistent/" + com));
    }
    const EnumDevices present(c.Present);
    TempDir dir;
    dir.Write("fw.hex", HexFile(SMALL_IMAGE, "\r\n"));
    Child child(Brelwick(c.Args), dir.Path(""));
    const ProcessResult run = child.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, c.Status);
    if (c.AnyOrder) {
        EXPECT_EQ(LineSet(run.Out), LineSet(c.Out)) << run.Out;
        EXPECT_EQ(run.Out.substr(run.Out.rfind("\r\n", run.Out.size() - 3) + 2),
                  c.Out.substr(c.Out.rfind("\r\n", c.Out.size() - 3) + 2));
    } else {
        EXPECT_EQ(run.Out, c.Out);
    }
    EXPECT_EQ(run.Err, c.Err);
}

const std::string COM7_LINE = "COM7   " + FTDI_COM7_TEXT;
const std::string COM8_LINE = "COM8   USB serial adapter 1a86:7523 wch.cn USB-SERIAL CH340";
const std::string COM1_LINE = "COM1   built-in serial port"; // Wine's own
const std::string THREE_PRESENT = "COM7, COM8, COM10, COM1";

INSTANTIATE_TEST_SUITE_P(
    Wine, PortsPresent,
    testing::Values(
        PortsCase{"List", {"/L"}, 0, Lines({COM7_LINE, COM8_LINE, COM1_LINE}), ""},
        PortsCase{
            "NoPortGiven", {"-f", "fw.hex"}, 1, USAGE, Lines({COM7_LINE, COM8_LINE, COM1_LINE})},
        PortsCase{"SeveralAdapters",
                  {"-c", "usb", "-f", "fw.hex"},
                  1,
                  Lines({"Several USB serial adapters match usb; -c must name one, by its name or "
                         "by usb: and its serial number"}),
                  Lines({COM7_LINE, COM8_LINE})},
        PortsCase{"UnpluggedNeverTaken",
                  {"-c", "usb:DN04ZQ7T", "-f", "fw.hex"},
                  1,
                  Lines({"No USB serial adapter matches usb:DN04ZQ7T"}),
                  Lines({COM7_LINE, COM8_LINE, COM1_LINE})},
        // A COM name in any case is the same port.
        PortsCase{"PortNamedTwice",
                  {"-c", "COM7,COM8,com7", "-f", "fw.hex"},
                  1,
                  Lines({"-c names com7 twice"}),
                  ""},
        PortsCase{"EmptyPortName",
                  {"-c", "COM7,", "-f", "fw.hex"},
                  1,
                  Lines({"-c COM7, names an empty port"}),
                  ""},
        // Standard output as it was; why an adapter present has no COM port on standard error.
        PortsCase{"ListThenWhyNoComPort",
                  {"/L"},
                  0,
                  Lines({COM7_LINE, COM8_LINE, COM1_LINE}),
                  Lines({NO_VCP_LINE}),
                  ADAPTERS,
                  false,
                  PORTLESS},
        PortsCase{"NoneMatchesThenWhyNoComPort",
                  {"-c", "usb:0403:6014", "-f", "fw.hex"},
                  1,
                  Lines({"No USB serial adapter matches usb:0403:6014"}),
                  Lines({COM7_LINE, COM8_LINE, COM1_LINE, NO_VCP_LINE}),
                  ADAPTERS,
                  false,
                  PORTLESS},
        PortsCase{"NotFoundThenWhyNoComPort",
                  {"-q", "-c", "COM12", "-f", "fw.hex"},
                  1,
                  Lines({"Error Opening COM12... 2",
                         "File not found - serial ports on this machine: COM7, COM8, COM1"}),
                  Lines({NO_VCP_LINE}),
                  ADAPTERS,
                  false,
                  PORTLESS},
        // usb:all takes every adapter plugged in, in the listing's order, and none other.
        PortsCase{"AllOfNoAdapter",
                  {"-c", "usb:all", "-f", "fw.hex"},
                  1,
                  Lines({"No USB serial adapter matches usb:all"}),
                  Lines({COM1_LINE}),
                  {GONE_COM9}},
        PortsCase{"AllOfOneAdapter",
                  {"-c", "usb:all", "-f", "fw.hex", "-q", "--logs", "logs"},
                  3,
                  Lines({"Loading fw.hex  Size 32 ", "Loaded fw.hex  Size 32 ",
                         "HEX file contains 0 blocks to transfer",
                         "COM7: File not found - serial ports on this machine: COM7, COM1",
                         "1 units: 0 flashed, 0 may not be flashed, 1 not flashed"}),
                  Lines({"The console text of each unit goes to logs"}),
                  {GONE_COM9, FTDI_COM7}},
        PortsCase{"AllOfThreeAdapters",
                  {"-c", "USB:ALL", "-f", "fw.hex", "-q", "--logs", "logs"},
                  3,
                  Lines({"Loading fw.hex  Size 32 ", "Loaded fw.hex  Size 32 ",
                         "HEX file contains 0 blocks to transfer",
                         "COM7: File not found - serial ports on this machine: " + THREE_PRESENT,
                         "COM8: File not found - serial ports on this machine: " + THREE_PRESENT,
                         "COM10: File not found - serial ports on this machine: " + THREE_PRESENT,
                         "3 units: 0 flashed, 0 may not be flashed, 3 not flashed"}),
                  Lines({"The console text of each unit goes to logs"}),
                  {GONE_COM9, CH340_COM8, FTDI_COM7, CP210X_COM10},
                  true}),
    TitleOf<PortsCase>);

// ---- The test as the unit, on a pty of its own ----

const Bytes ONE_BYTE = {0x5A};
const std::string ONE_BYTE_HEX = ":010000005AA5\n:00000001FF\n";

// Echoes the header as the unit would; a test may echo it otherwise.
using HeaderEcho = std::function<void(int master, const Bytes& header)>;

void EchoWhole(int master, const Bytes& header) {
    WriteAll(master, header);
}

// Plays the unit through the transfer of ONE_BYTE: one block of one byte. Returns what came down
// the line.
Bytes PlayOneByteImage(Pty& pty, const HeaderEcho& echoHeader = EchoWhole) {
    Bytes line;
    for (size_t i = 0; i < COMMAND.size(); ++i) {
        const Bytes byte = ReadFor(pty.Master, 1, START_LIMIT);
        line.insert(line.end(), byte.begin(), byte.end());
        WriteAll(pty.Master, byte);
    }
    WriteAll(pty.Master, {0x01});
    const Bytes header = ReadFor(pty.Master, 4, seconds(15));
    echoHeader(pty.Master, header);
    const Bytes data = ReadFor(pty.Master, 1, seconds(15));
    WriteAll(pty.Master, data);
    const Bytes trailer = ReadFor(pty.Master, 3, seconds(15));
    Bytes answer = trailer;
    answer.insert(answer.end(), {0x06, 0x17});
    WriteAll(pty.Master, answer);
    const Bytes end = ReadFor(pty.Master, 2, seconds(15));
    for (const Bytes* part : {&header, &data, &trailer, &end}) {
        line.insert(line.end(), part->begin(), part->end());
    }
    return line;
}

class TestAsUnit : public testing::Test {
  protected:
    void SetUp() override { m_Dir.Write("one-byte.hex", ONE_BYTE_HEX); }
    std::string Dir() const { return m_Dir.Path(""); }

    Pty m_Pty;
    ComLink m_Link{"com5", m_Pty.SlavePath};
    TempDir m_Dir;
};

// A pty keeps its line at 8 data bits and no parity whatever is asked, so only the speed, the
// stop bits and XON/XOFF can be seen to change here, and to come back after the run.
TEST_F(TestAsUnit, OpenSetsNineteenTwoHundredBaudAndOneStopBit) {
    termios before{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &before), 0);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_cflag |= CSTOPB;
    before.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(m_Pty.Slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &before), 0);

    // At the banner the port is open and configured, and the program waits for Enter.
    Child program(Brelwick({"-c", "COM5", "-f", "one-byte.hex"}), Dir());
    ASSERT_TRUE(program.WaitForOutput("DISTURB UNTIL DONE\r\n", START_LIMIT)) << program.Out();
    termios line{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), B19200);
    EXPECT_EQ(cfgetospeed(&line), B19200);
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);

    program.Write("\n");
    EXPECT_EQ(PlayOneByteImage(m_Pty), LineTraffic(ONE_BYTE));
    EXPECT_EQ(program.Finish(RUN_LIMIT).Status, 0);
    // Given back as the port had them, as far as Windows' line settings reach: Wine keeps the
    // tty raw (IGNBRK, CLOCAL, NOFLSH, VMIN) whatever settings a program gives back.
    termios after{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &after), 0);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before))
        << "the line's settings were not given back";
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    const tcflag_t carried = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    EXPECT_EQ(after.c_cflag & carried, before.c_cflag & carried);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF), before.c_iflag & (IXON | IXOFF));
    EXPECT_EQ(after.c_cc[VSTART], before.c_cc[VSTART]);
    EXPECT_EQ(after.c_cc[VSTOP], before.c_cc[VSTOP]);
}

TEST_F(TestAsUnit, APortAnotherBrelwickHoldsIsRefused) {
    Child holder(Brelwick({"-c", "COM5", "-f", "one-byte.hex"}), Dir());
    ASSERT_TRUE(holder.WaitForOutput("DISTURB UNTIL DONE\r\n", START_LIMIT)) << holder.Out();

    Child second(Brelwick({"-c", "COM5", "-f", "one-byte.hex", "-q"}), Dir());
    const ProcessResult refused = second.Finish(RUN_LIMIT);
    EXPECT_EQ(refused.Status, 1);
    // ERROR_ACCESS_DENIED, and the hint that another program holds the port.
    EXPECT_EQ(refused.Out, "Error Opening COM5... 5\r\n"
                           "Access denied - another program holds the port; close it and try "
                           "again\r\n");
    EXPECT_EQ(ReadFor(m_Pty.Master, 1, milliseconds(200)), Bytes()) << "the second one wrote";

    // The holder's run goes on undisturbed.
    holder.Write("\n");
    EXPECT_EQ(PlayOneByteImage(m_Pty), LineTraffic(ONE_BYTE));
    const ProcessResult held = holder.Finish(RUN_LIMIT);
    EXPECT_EQ(held.Status, 0);
    EXPECT_EQ(held.Out,
              Loading("one-byte.hex", 26, 26, ONE_BYTE) + BANNER + TransferText(ONE_BYTE));
}

// ---- Started from Explorer: wineconsole gives the program a console window of its own ----

// Keys for the window, as a person types them, and Enter. True when xdotool could send them all;
// a window that closes at the Enter, as the program's does at the last one, can make it say no.
bool TypeInto(const std::string& window, const std::string& text) {
    const std::string log = Wine.Dir + "/x.log";
    return (text.empty() || RunLogged({"xdotool", "type", "--window", window, text}, log) == 0) &&
           RunLogged({"xdotool", "key", "--window", window, "Return"}, log) == 0;
}

// The program's window while the object lives, found by its title once it is there; it goes
// with the object, and the program with it, however the test ends.
class ProgramWindow {
  public:
    explicit ProgramWindow(const std::string& title) {
        const Clock::time_point deadline = Clock::now() + START_LIMIT;
        while (m_Id.empty() && Clock::now() < deadline) {
            const ProcessResult found = RunProcess({"xdotool", "search", "--name", title});
            if (found.Status == 0 && !found.Out.empty()) {
                m_Id = found.Out.substr(0, found.Out.find('\n'));
            } else {
                std::this_thread::sleep_for(milliseconds(250));
            }
        }
    }
    ~ProgramWindow() {
        if (!m_Id.empty()) {
            RunLogged({"xdotool", "windowkill", m_Id}, Wine.Dir + "/x.log");
        }
    }
    ProgramWindow(const ProgramWindow&) = delete;
    ProgramWindow& operator=(const ProgramWindow&) = delete;
    const std::string& Id() const { return m_Id; }

  private:
    std::string m_Id;
};

// A path of this machine as a Windows program sees it, on the drive Wine gives "/".
std::string WindowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

// True while the process has not ended, even as a zombie.
bool StillRunning(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t state = stat.rfind(") ");
    return state != std::string::npos && stat.size() > state + 2 && stat[state + 2] != 'Z';
}

// The simulated unit's loader answers on the pty until its end marker has come.
bool PlayTheUnit(int master, CSimUnit* unit) {
    const Clock::time_point deadline = Clock::now() + RUN_LIMIT;
    while (!unit->Finished() && !unit->HungUp() && Clock::now() < deadline) {
        for (const uint8_t byte : ReadFor(master, 1, milliseconds(100))) {
            unit->Receive(byte);
            for (const SimOutput& answer : unit->TakeOutput()) {
                WriteAll(master, {answer.Byte});
            }
        }
    }
    return unit->Finished();
}

struct ExplorerCase {
    const char* Title;
    bool Dropped;      // the file dropped on the program; else a double-click, and it is typed
    std::string Typed; // typed into the window before the banner's Enter
};
PRINTS_AS_TITLE(ExplorerCase)

class ExplorerStart : public testing::TestWithParam<ExplorerCase> {};

// The one USB adapter is taken, the unit is flashed, and the window stays open with the verdict
// in it until Enter. BRELWICK_SCREENSHOT names a file for a picture of the window at that moment.
TEST_P(ExplorerStart, FlashesTheUnitAndWaitsForEnter) {
    const ExplorerCase& c = GetParam();
    if (FromEnvironment("DISPLAY").empty() || InPath("xdotool").empty()) {
        GTEST_SKIP() << "needs Xvfb and xdotool (Debian: xvfb xdotool) for a console window";
    }
    TempDir dir;
    const Bytes image = TwoBlockImage();
    dir.Write("fw.hex", HexFile(image, "\r\n"));
    const EnumDevices adapters({FTDI_COM7});
    Pty pty;
    const ComLink link("com7", pty.SlavePath);
    // Explorer names the program and the file by their full Windows paths.
    std::vector<std::string> argv = {Wine.Wine64, "wineconsole", WindowsPath(Wine.Exe)};
    if (c.Dropped) {
        argv.push_back(WindowsPath(dir.Path("fw.hex")));
    }
    Child program(argv, dir.Path(""));
    const ProgramWindow window("Brelwick.exe");
    ASSERT_FALSE(window.Id().empty()) << "no window";
    if (!c.Dropped) {
        EXPECT_TRUE(TypeInto(window.Id(), c.Typed));
    }
    EXPECT_TRUE(TypeInto(window.Id(), "")); // the banner's Enter

    CSimUnit unit{SimFaults{}};
    ASSERT_TRUE(PlayTheUnit(pty.Master, &unit)) << "the transfer did not end";
    EXPECT_TRUE(unit.Verified());
    EXPECT_EQ(unit.Flash(), image);
    // The verdict is in the window, and the window waits to be read.
    std::this_thread::sleep_for(seconds(2));
    EXPECT_TRUE(StillRunning(program.Pid()));
    const std::string screenshot = FromEnvironment("BRELWICK_SCREENSHOT");
    if (!screenshot.empty()) {
        EXPECT_EQ(RunLogged({"import", "-window", "root", "-crop", "660x440+0+0", screenshot},
                            Wine.Dir + "/x.log"),
                  0);
    }
    TypeInto(window.Id(), ""); // the closing Enter: the exit status tells that it came
    EXPECT_EQ(program.Finish(RUN_LIMIT).Status, 0);
}

INSTANTIATE_TEST_SUITE_P(Wine, ExplorerStart,
                         testing::Values(ExplorerCase{"FileDropped", true, ""},
                                         ExplorerCase{"DoubleClick", false, "fw.hex"}),
                         TitleOf<ExplorerCase>);

// ---- Read time-outs ----

struct TimeoutCase {
    const char* Title;
    std::vector<int> GapsMs; // before each byte of the header echo that the unit sends
    std::string HeaderText;  // what the program prints of the header echo
    int Status;
};
PRINTS_AS_TITLE(TimeoutCase)

class HeaderTimeout : public TestAsUnit, public testing::WithParamInterface<TimeoutCase> {};

// A read of four bytes that has begun to bring them ends 150 ms after the last one, not 10.6 s
// after it began; bytes that come closer together than that keep it going.
TEST_P(HeaderTimeout, EndsOneHundredFiftyMsAfterTheLastByte) {
    const TimeoutCase& c = GetParam();
    Child program(Brelwick({"-c", "COM5", "-f", "one-byte.hex", "-q"}), Dir());
    // The unit plays on its own thread, so that the program's output is seen the moment it comes.
    Clock::time_point last{};
    Bytes line;
    std::thread unit([&] {
        line = PlayOneByteImage(m_Pty, [&](int master, const Bytes& header) {
            for (size_t i = 0; i < c.GapsMs.size() && i < header.size(); ++i) {
                std::this_thread::sleep_for(milliseconds(c.GapsMs[i]));
                WriteAll(master, {header[i]});
            }
            last = Clock::now();
        });
    });
    Clock::time_point shown{};
    const bool came = program.WaitForOutput(c.HeaderText, seconds(75), &shown);
    unit.join();
    ASSERT_TRUE(came) << program.Out();
    EXPECT_EQ(line, LineTraffic(ONE_BYTE));
    if (c.Status != 0) {
        const double waited = Millis(shown - last).count();
        EXPECT_GE(waited, 140);
        EXPECT_LE(waited, 500);
    }
    EXPECT_EQ(program.Finish(RUN_LIMIT).Status, c.Status);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, HeaderTimeout,
    testing::Values(
        TimeoutCase{"ThreeOfFour", {0, 0, 0}, "STARTED\r\nHEADER FAILED 0\r\n02 00 00 \r\n", 4},
        TimeoutCase{
            "BytesWithinTheInterval", {0, 100, 100, 100}, "STARTED\r\n02 00 00 01 \r\n", 0}),
    TitleOf<TimeoutCase>);

// The unit's own time-outs, once, for real: a one-byte read of a silent line gives up after
// 10,000 + 150 ms.
TEST_F(TestAsUnit, SilentUnitIsGivenUpAfterTenThousandOneHundredFiftyMs) {
    Child program(Brelwick({"-c", "COM5", "-f", "one-byte.hex", "-q"}), Dir());
    ASSERT_EQ(ReadFor(m_Pty.Master, 1, START_LIMIT), Bytes{0x1B});
    const Clock::time_point sent = Clock::now();
    Clock::time_point shown{};
    ASSERT_TRUE(program.WaitForOutput("DEVICE FAILED TO RESPOND\r\n", seconds(15), &shown));
    const double waited = Millis(shown - sent).count();
    EXPECT_GE(waited, 10140);
    EXPECT_LE(waited, 10450);
    const ProcessResult run = program.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Out, Loading("one-byte.hex", 26, 26, ONE_BYTE) +
                           Lines({"DEVICE FAILED TO RESPOND"}) + NOT_FLASHED);
    EXPECT_EQ(ReadFor(m_Pty.Master, 1, milliseconds(100)), Bytes()) << "it went on sending";
}

// Ctrl-C in the middle of a block, while the program waits up to 10 s for an echo that does not
// come: the wait ends at once, the program says so and ends with status 3. Wine passes SIGINT to a
// console program as Ctrl-C.
TEST_F(TestAsUnit, CtrlCEndsTheWaitForAnEchoAtOnce) {
    m_Dir.Write("fw.hex", HexFile(SMALL_IMAGE, "\n"));
    Child program(Brelwick({"-c", "COM5", "-f", "fw.hex", "-q"}), Dir());
    // The unit answers the handshake, the header and the first data byte, then falls silent.
    for (size_t i = 0; i < COMMAND.size(); ++i) {
        WriteAll(m_Pty.Master, ReadFor(m_Pty.Master, 1, START_LIMIT));
    }
    WriteAll(m_Pty.Master, {0x01});
    WriteAll(m_Pty.Master, ReadFor(m_Pty.Master, 4, seconds(15)));
    WriteAll(m_Pty.Master, ReadFor(m_Pty.Master, 1, seconds(15)));
    ASSERT_EQ(ReadFor(m_Pty.Master, 1, seconds(15)), Bytes{SMALL_IMAGE[1]});
    std::this_thread::sleep_for(milliseconds(300));
    const Clock::time_point sent = Clock::now();
    kill(program.Pid(), SIGINT);
    Clock::time_point shown{};
    ASSERT_TRUE(program.WaitForOutput("UPDATE INTERRUPTED\r\n", seconds(8), &shown))
        << program.Out();
    EXPECT_LE(Millis(shown - sent).count(), 2000) << "the wait for the echo went on";
    const ProcessResult run = program.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Out, Loading("fw.hex", 30, 30, SMALL_IMAGE) +
                           "1b 50 72 4f 67 0d Waiting for SOH\r\n\x01STARTED\r\n" +
                           Lines({"02 00 00 03 ", "UPDATE INTERRUPTED"}) + NOT_FLASHED);
    EXPECT_EQ(ReadFor(m_Pty.Master, 1, milliseconds(100)), Bytes()) << "it went on sending";
}

// ---- The portable unit tests, built for Windows ----

// The switch table's both sets of rules and the loader, as the Windows build has them.
TEST(PortableTests, PassUnderWine) {
    const std::string exe = FromEnvironment("BRELWICK_PORTABLE_TESTS");
    if (exe.empty()) {
        GTEST_SKIP() << "BRELWICK_PORTABLE_TESTS names no Windows build of the portable tests";
    }
    TempDir dir;
    Child program({Wine.Wine64, exe}, dir.Path(""));
    const ProcessResult run = program.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 0) << run.Out.substr(run.Out.size() > 3000 ? run.Out.size() - 3000 : 0);
    EXPECT_NE(run.Out.find("[  PASSED  ]"), std::string::npos);
}

} // namespace

// ---- Several units at once ----

// Two COM ports at once: each unit runs in a process of its own started with CreateProcess, is
// flashed exact, and has its console text in its own file; one line each and the count.
TEST(WineBench, TwoComPortsAtOnce) {
    TempDir dir;
    const Bytes image = RandomImage(3000, 265);
    dir.Write("fw.hex", HexFile(image, "\r\n"));
    std::vector<std::unique_ptr<Child>> units;
    for (const std::string com : {"com5", "com6"}) {
        units.push_back(std::make_unique<Child>(
            std::vector<std::string>{BRELWICK_UNIT_SIM, "--link", DosDevice(com), "--out",
                                     dir.Path("flash-" + com)},
            dir.Path("")));
        ASSERT_TRUE(units.back()->WaitForOutput("unit-sim: port ", seconds(10)));
    }
    Child bench(Brelwick({"-c", "COM5,COM6", "-f", "fw.hex", "-q", "--logs", "logs"}),
                dir.Path(""));
    const ProcessResult run = bench.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    const std::string line = "Transfer Complete.  Power off the unit and power it back on\r\n";
    EXPECT_NE(run.Out.find("COM5: " + line), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("COM6: " + line), std::string::npos) << run.Out;
    const std::string summary = "2 units: 2 flashed, 0 may not be flashed, 0 not flashed\r\n";
    EXPECT_EQ(run.Out.substr(run.Out.size() - std::min(run.Out.size(), summary.size())), summary);
    for (size_t i = 0; i < units.size(); ++i) {
        const std::string com = i == 0 ? "com5" : "com6";
        units[i]->Finish(seconds(10));
        EXPECT_EQ(ReadBytes(dir.Path("flash-" + com)), image) << com;
        const std::string text = ReadFile(dir.Path(i == 0 ? "logs/COM5.txt" : "logs/COM6.txt"));
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), line.size())), line) << text;
    }
}

// Ctrl-C reaches every unit under Windows too: passed on to each unit's process group, each gives
// its line back and says so, and the run counts them all as not flashed.
TEST(WineBench, AnInterruptReachesEveryUnit) {
    TempDir dir;
    dir.Write("fw.hex", HexFile(RandomImage(12000, 266), "\r\n"));
    std::vector<std::unique_ptr<Child>> units;
    for (const std::string com : {"com5", "com6"}) {
        units.push_back(
            std::make_unique<Child>(std::vector<std::string>{BRELWICK_UNIT_SIM, "--link",
                                                             DosDevice(com), "--baud", "19200"},
                                    dir.Path("")));
        ASSERT_TRUE(units.back()->WaitForOutput("unit-sim: port ", seconds(10)));
    }
    Child bench(Brelwick({"-c", "COM5,COM6", "-f", "fw.hex", "-q", "--logs", "logs"}),
                dir.Path(""));
    // Both units well into their transfer: a block of data goes out in about two seconds.
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < seconds(30) &&
           (ReadFile(dir.Path("logs/COM5.txt")).find("STARTED") == std::string::npos ||
            ReadFile(dir.Path("logs/COM6.txt")).find("STARTED") == std::string::npos)) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    std::this_thread::sleep_for(milliseconds(1000));
    kill(bench.Pid(), SIGINT);
    const ProcessResult run = bench.Finish(RUN_LIMIT);
    EXPECT_EQ(run.Status, 3) << run.Out << run.Err;
    const std::string summary = "2 units: 0 flashed, 0 may not be flashed, 2 not flashed\r\n";
    EXPECT_EQ(run.Out.substr(run.Out.size() - std::min(run.Out.size(), summary.size())), summary)
        << run.Out;
    for (const std::string com : {"COM5", "COM6"}) {
        EXPECT_NE(run.Out.find(com + ": " + NOT_FLASHED), std::string::npos) << run.Out;
        const std::string text = ReadFile(dir.Path("logs/" + com + ".txt"));
        EXPECT_NE(text.find("UPDATE INTERRUPTED\r\n" + NOT_FLASHED), std::string::npos) << text;
        // Stopped in its transfer, not after it.
        EXPECT_NE(text.find("STARTED"), std::string::npos) << text;
        EXPECT_EQ(text.find("Transfer Complete"), std::string::npos) << text;
    }
}
