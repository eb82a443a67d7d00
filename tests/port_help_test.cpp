// What the operator is told when the port will not open: the system's words, and a hint that
// knows the platform (the dialout group, a port held by another program, the ports present).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/bench.h"
#include "app/ports.h"
#include "app/window.h"
#include "console/process_posix.h"
#include "console/status.h"
#include "console_capture.h"
#include "posix_support.h"
#include "serial/serial.h"
#include "serial/serial_posix.h"
#include "sim_harness.h"

namespace {

const std::string NONE_FOUND = "no serial ports found on this machine";
const std::string FOUND = "serial ports on this machine: ";

struct ListCase {
    const char* Title;
    std::vector<std::string> Ports; // "usb:" before the name of a USB serial adapter
    std::string Text;
};
PRINTS_AS_TITLE(ListCase)

class PortList : public testing::TestWithParam<ListCase> {};

// USB adapters first, then the rest, each as people count.
TEST_P(PortList, CountsAsPeopleDo) {
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : GetParam().Ports) {
        SerialPortInfo port;
        const bool usb = name.rfind("usb:", 0) == 0;
        port.Name = usb ? name.substr(4) : name;
        port.Kind = usb ? PortKind::USB_ADAPTER : PortKind::OTHER;
        ports.push_back(port);
    }
    OrderPorts(&ports);
    std::vector<std::string> names;
    for (const SerialPortInfo& port : ports) {
        names.push_back(port.Name);
    }
    EXPECT_EQ(PortListText(names), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PortList,
    testing::Values(
        ListCase{"None", {}, NONE_FOUND}, ListCase{"One", {"ttyUSB0"}, FOUND + "ttyUSB0"},
        ListCase{"TenAfterTwo", {"ttyS10", "ttyS2", "ttyS1"}, FOUND + "ttyS1, ttyS2, ttyS10"},
        ListCase{"ComPorts", {"COM10", "COM3", "COM9", "COM1"}, FOUND + "COM1, COM3, COM9, COM10"},
        ListCase{"KindsApart", {"ttyUSB1", "ttyACM0", "ttyS0"}, FOUND + "ttyACM0, ttyS0, ttyUSB1"},
        ListCase{"UsbAdaptersFirst",
                 {"COM1", "usb:COM10", "COM2", "usb:COM3"},
                 FOUND + "COM3, COM10, COM1, COM2"},
        ListCase{"PrefixFirst", {"ttyS1", "ttyS"}, FOUND + "ttyS, ttyS1"},
        ListCase{"LeadingZeros", {"ttyS010", "ttyS9"}, FOUND + "ttyS9, ttyS010"},
        ListCase{"TwiceShownOnce", {"COM3", "COM3"}, FOUND + "COM3"},
        ListCase{"NumbersInside", {"cu.usb-12b", "cu.usb-3a"}, FOUND + "cu.usb-3a, cu.usb-12b"}),
    TitleOf<ListCase>);

// A tty as sysfs shows it: a USB adapter has the USB device above its own device.
struct FakeTty {
    std::string Name;
    std::string Driver;
    std::string Ids = "";                  // "0403:6001" for a USB adapter
    std::vector<std::string> Strings = {}; // manufacturer, product, serial; "" for none
    const char* Latency = nullptr;
    const char* UartType = nullptr;
    std::string StableName = ""; // its link in /dev/serial/by-id
    bool Node = true;            // it has a node in /dev
    std::string Alias = "";      // its link in /dev, as Raspberry Pi OS makes /dev/serial0
    std::string Parent = "sys/devices/platform/serial8250"; // where a port not on USB sits
    bool CdcAcm = false;            // its interface is CDC-ACM (class 02, subclass 02)
    std::string StorageDriver = ""; // a mass storage interface (class 08) beside, and its driver
};

// A USB device plugged in with no tty; `driver` holds its interface ("" none, "usbfs").
FakeTty Portless(const std::string& ids, const std::vector<std::string>& strings,
                 const std::string& driver, bool cdcAcm = false,
                 const std::string& storageDriver = "") {
    FakeTty device{"", driver, ids, strings};
    device.CdcAcm = cdcAcm;
    device.StorageDriver = storageDriver;
    return device;
}

// The release the made-up tree's kernel reports, whose modules are under /lib/modules.
const std::string RELEASE = "6.1.0-27-amd64";
const std::string MODULES = "lib/modules/" + RELEASE + "/kernel/drivers/usb/";

const FakeTty FTDI{"ttyUSB1",
                   "ftdi_sio",
                   "0403:6001",
                   {"FTDI", "FT232R USB UART", "A50285BI"},
                   "16",
                   nullptr,
                   "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
const FakeTty CH340{"ttyUSB0", "ch341-uart", "1a86:7523", {"", "USB Serial", ""}};
const FakeTty CDC{
    "ttyACM0", "cdc_acm", "2e8a:000a", {"Raspberry Pi", "Pico", "E6614103E7"}, nullptr, nullptr,
    "",        true,      "",          "sys/devices/platform/serial8250",      true};
const FakeTty UART{"ttyS0", "serial8250", "", {}, nullptr, "4"};
const FakeTty NO_UART{"ttyS1", "serial8250", "", {}, nullptr, "0"};
const FakeTty GADGET{"ttyGS0", "g_serial"};
// Consoles, the terminal and pseudo-terminals have no device behind them.
const FakeTty CONSOLE{"console", ""};
const FakeTty PTMX{"ptmx", ""};
const FakeTty NO_NODE{"ttyUSB7", "ftdi_sio", "0403:6015", {"FTDI", "FT230X", "DN04ZQ7T"},
                      nullptr,   nullptr,    "",          false};

// A Raspberry Pi 4's UARTs: the PL011 (an AMBA device on the SoC, given to Bluetooth unless the
// configuration says otherwise) and the mini UART, which the 8250 driver serves; serial0 is the one
// on the GPIO header, serial1 the other.
const FakeTty PI_PL011{
    "ttyAMA0", "uart-pl011", "",   {},        nullptr,
    "32",      "",           true, "serial1", "sys/devices/platform/soc/fe201000.serial"};
const FakeTty PI_MINI_UART{"ttyS0",   "bcm2835-aux-uart",
                           "",        {},
                           nullptr,   "4",
                           "",        true,
                           "serial0", "sys/devices/platform/soc/fe215040.serial"};

const std::vector<FakeTty> BENCH = {FTDI,   CH340,   CDC,  UART,   NO_UART,
                                    GADGET, CONSOLE, PTMX, NO_NODE};

// Makes the ttys under a made-up root, which stands for "/".
class PortTree {
  public:
    using Files = std::vector<std::pair<std::string, std::string>>; // path, content
    explicit PortTree(const std::vector<FakeTty>& ttys, const Files& files = {}) {
        Make("dev/serial/by-id");
        Make("sys/bus/usb/devices");
        Make("proc/sys/kernel");
        m_Root.Write("proc/sys/kernel/osrelease", RELEASE + "\n");
        for (const auto& file : files) {
            Make(std::filesystem::path(file.first).parent_path().string());
            m_Root.Write(file.first, file.second);
        }
        int usbPort = 0;
        for (const FakeTty& tty : ttys) {
            if (tty.Name.empty()) {
                const std::string interface = UsbDevice(tty, ++usbPort);
                if (!tty.Driver.empty()) {
                    Make("sys/bus/usb/drivers/" + tty.Driver);
                    Link(m_Root.Path("sys/bus/usb/drivers/" + tty.Driver), interface + "/driver");
                }
                continue;
            }
            const std::string classDir = "sys/class/tty/" + tty.Name;
            Make(classDir);
            if (tty.UartType != nullptr) {
                m_Root.Write(classDir + "/type", std::string(tty.UartType) + "\n");
            }
            if (tty.Node) {
                m_Root.Write("dev/" + tty.Name, "");
            }
            if (!tty.StableName.empty()) {
                Link("../../" + tty.Name, "dev/serial/by-id/" + tty.StableName);
            }
            if (!tty.Alias.empty()) {
                Link(tty.Name, "dev/" + tty.Alias);
            }
            if (tty.Driver.empty()) {
                continue;
            }
            std::string device = tty.Parent + "/" + tty.Name;
            if (!tty.Ids.empty()) {
                device = UsbDevice(tty, ++usbPort) + "/" + tty.Name;
            }
            Make(device);
            Make("sys/bus/drivers/" + tty.Driver);
            Link(m_Root.Path("sys/bus/drivers/" + tty.Driver), device + "/driver");
            Link(m_Root.Path(device), classDir + "/device");
            if (tty.Latency != nullptr) {
                m_Root.Write(device + "/latency_timer", std::string(tty.Latency) + "\n");
            }
        }
        SetPortSearchRoot(m_Root.Path(""));
    }
    ~PortTree() { SetPortSearchRoot(""); }
    // The adapter's node appears, as when it is plugged in.
    void Plug(const std::string& name) const { m_Root.Write("dev/" + name, ""); }

  private:
    // The USB device 1-N as sysfs shows it, with its link in /sys/bus/usb/devices; returns its
    // interface 1-N:1.0.
    std::string UsbDevice(const FakeTty& tty, int port) {
        const std::string name = "1-" + std::to_string(port);
        const std::string usb = "sys/devices/pci0000:00/usb1/" + name;
        const std::string interface = usb + "/" + name + ":1.0";
        Make(interface);
        Link(m_Root.Path(usb), "sys/bus/usb/devices/" + name);
        m_Root.Write(usb + "/idVendor", tty.Ids.substr(0, 4) + "\n");
        m_Root.Write(usb + "/idProduct", tty.Ids.substr(5) + "\n");
        const char* const names[] = {"manufacturer", "product", "serial"};
        for (size_t i = 0; i < tty.Strings.size(); ++i) {
            if (!tty.Strings[i].empty()) {
                m_Root.Write(usb + "/" + names[i], tty.Strings[i] + "\n");
            }
        }
        m_Root.Write(interface + "/bInterfaceClass", tty.CdcAcm ? "02\n" : "ff\n");
        m_Root.Write(interface + "/bInterfaceSubClass", tty.CdcAcm ? "02\n" : "ff\n");
        if (!tty.StorageDriver.empty()) {
            const std::string storage = usb + "/" + name + ":1.2";
            Make(storage);
            m_Root.Write(storage + "/bInterfaceClass", "08\n");
            m_Root.Write(storage + "/bInterfaceSubClass", "06\n");
            Make("sys/bus/usb/drivers/" + tty.StorageDriver);
            Link(m_Root.Path("sys/bus/usb/drivers/" + tty.StorageDriver), storage + "/driver");
        }
        return interface;
    }
    void Make(const std::string& path) { std::filesystem::create_directories(m_Root.Path(path)); }
    void Link(const std::string& target, const std::string& path) {
        EXPECT_EQ(symlink(target.c_str(), m_Root.Path(path).c_str()), 0) << path;
    }
    TempDir m_Root;
};

const std::string FTDI_LINE = "USB serial adapter 0403:6001 FTDI FT232R USB UART, serial A50285BI, "
                              "latency timer 16 ms (/dev/serial/by-id/"
                              "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)";
const std::string CH340_LINE = "USB serial adapter 1a86:7523 USB Serial";
const std::string CDC_LINE = "USB serial adapter 2e8a:000a Raspberry Pi Pico, serial E6614103E7";
const std::string BRLTTY = " is claimed by brltty (a braille display service): sudo apt remove "
                           "brltty, or disable its udev rule, then plug the adapter in again";

struct TreeCase {
    const char* Title;
    std::vector<FakeTty> Ttys;
    std::vector<std::string> Lines;         // what -l prints
    std::vector<std::string> Portless = {}; // why adapters plugged in have no tty
    PortTree::Files Files = {};             // besides the ttys
};
PRINTS_AS_TITLE(TreeCase)

class PortsPresent : public testing::TestWithParam<TreeCase> {};

// The listing, the hint for a port that was not found, which names the same ports, and why the
// adapters plugged in without a tty have none.
TEST_P(PortsPresent, AreListedWithWhatTheyAre) {
    const PortTree tree(GetParam().Ttys, GetParam().Files);
    EXPECT_EQ(PortListLines(PresentSerialPorts()), GetParam().Lines);
    EXPECT_EQ(UnportedAdapterLines(), GetParam().Portless);
    std::string hint = GetParam().Lines.empty() ? NONE_FOUND : FOUND;
    for (const std::string& line : GetParam().Lines) {
        hint += (hint == FOUND ? "" : ", ") + line.substr(0, line.find(' '));
    }
    EXPECT_EQ(SerialOpenHint(ENOENT, "ttyUSB9"), hint);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, PortsPresent,
    testing::Values(
        TreeCase{"Empty", {}, {}}, TreeCase{"NoSerialPorts", {CONSOLE, PTMX, NO_UART, NO_NODE}, {}},
        TreeCase{"EveryKind",
                 BENCH,
                 {"ttyACM0   USB serial adapter 2e8a:000a Raspberry Pi Pico, serial E6614103E7",
                  "ttyUSB0   USB serial adapter 1a86:7523 USB Serial",
                  "ttyUSB1   USB serial adapter 0403:6001 FTDI FT232R USB UART, serial A50285BI, "
                  "latency timer 16 ms (/dev/serial/by-id/"
                  "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)",
                  "ttyGS0    g_serial", "ttyS0     built-in serial port"}},
        TreeCase{"RaspberryPi",
                 {PI_PL011, PI_MINI_UART, CONSOLE, PTMX},
                 {"ttyAMA0   built-in serial port (/dev/serial1)",
                  "ttyS0     built-in serial port (/dev/serial0)"}},
        TreeCase{
            "CountedInOrder",
            {{"ttyUSB10", "ch341-uart", "1a86:7523"}, {"ttyUSB2", "ch341-uart", "1a86:7523"}},
            {"ttyUSB2    USB serial adapter 1a86:7523", "ttyUSB10   USB serial adapter 1a86:7523"}},
        // What an adapter says of itself cannot move the operator's cursor.
        TreeCase{"ControlCharactersShown",
                 {{"ttyUSB0", "ftdi_sio", "0403:6001", {"FT\x1b[2JDI", " Cable ", "A1\x07"}}},
                 {"ttyUSB0   USB serial adapter 0403:6001 FT?[2JDI Cable, serial A1?"}},
        // Plugged in without a tty: the chip's module is named, and where it is.
        TreeCase{"AdapterWithoutDriver",
                 {FTDI, Portless("1a86:7523", {"", "USB Serial", ""}, ""),
                  Portless("10c4:ea60", {"Silicon Labs", "CP2102 USB to UART Bridge", "0001"}, ""),
                  Portless("046d:c077", {"Logitech", "USB Optical Mouse", ""}, "")},
                 {"ttyUSB1   " + FTDI_LINE},
                 {CH340_LINE +
                      " has no driver in this kernel (module ch341 not present under "
                      "/lib/modules/" +
                      RELEASE +
                      ": install the kernel's extra modules package, or a driver from the chip's "
                      "maker)",
                  "USB serial adapter 10c4:ea60 Silicon Labs CP2102 USB to UART Bridge, serial "
                  "0001 has no driver in this kernel (module cp210x not loaded; it is under "
                  "/lib/modules/" +
                      RELEASE + ": sudo modprobe cp210x, then plug the adapter in again)"},
                 {{MODULES + "serial/cp210x.ko.zst", ""}, {MODULES + "serial/ch341.txt", ""}}},
        TreeCase{"ClaimedByBrlttyRule",
                 {Portless("1a86:7523", {"", "USB Serial", ""}, "usbfs")},
                 {},
                 {CH340_LINE + BRLTTY},
                 {{"usr/lib/udev/rules.d/85-brltty.rules", "ENV{PRODUCT}==\"1a86/7523/*\"\n"}}},
        TreeCase{"ClaimedByBrlttyRunning",
                 {CDC, Portless("10c4:ea60", {"", "", ""}, "usbfs")},
                 {"ttyACM0   " + CDC_LINE},
                 {"USB serial adapter 10c4:ea60" + BRLTTY},
                 {{"proc/1/comm", "systemd\n"}, {"proc/812/comm", "brltty\n"}}},
        TreeCase{"HeldThroughUsbfs",
                 {Portless("0403:6010", {"FTDI", "Dual RS232-HS", ""}, "usbfs")},
                 {},
                 {"USB serial adapter 0403:6010 FTDI Dual RS232-HS is held by a program through "
                  "usbfs, not as a serial port: close that program, then plug the adapter in "
                  "again"},
                 {{"proc/812/comm", "brlapi-helper\n"}, {"etc/udev/rules.d/99-ftdi.rules", ""}}},
        // Any device with a CDC-ACM interface; one a driver has is waiting for its tty.
        TreeCase{
            "CdcAcmWithoutDriver",
            {Portless("2e8a:000a", {"Raspberry Pi", "Pico", "E6614103E7"}, "", true),
             Portless("1a86:55d4", {"", "USB Single Serial", "5434"}, "", true),
             Portless("1d50:6018", {"", "Black Magic Probe", ""}, "cdc_acm", true),
             Portless("239a:80f4", {"Adafruit", "Feather RP2040", ""}, "", true, "usb-storage"),
             Portless("0781:5583", {"SanDisk", "Ultra Fit", ""}, "", false, "usb-storage")},
            {},
            {CDC_LINE + " has no driver in this kernel (module cdc_acm is loaded but does "
                        "not take this adapter)",
             "USB serial adapter 1a86:55d4 USB Single Serial, serial 5434 has no driver in "
             "this kernel (module cdc_acm is loaded but does not take this adapter)",
             "USB serial adapter 239a:80f4 Adafruit Feather RP2040 has no driver in this "
             "kernel (module cdc_acm is loaded but does not take this adapter)"},
            {{"sys/module/cdc_acm/refcnt", "0\n"}}},
        TreeCase{"CdcAcmBuiltIn",
                 {Portless("2e8a:000a", {"Raspberry Pi", "Pico", "E6614103E7"}, "", true)},
                 {},
                 {CDC_LINE + " has no driver in this kernel (module cdc_acm is loaded but does "
                             "not take this adapter)"},
                 {{"lib/modules/" + RELEASE + "/modules.builtin",
                   "kernel/drivers/usb/core/usbcore.ko\nkernel/drivers/usb/class/cdc-acm.ko\n"}}}),
    TitleOf<TreeCase>);

// Device Manager's problem codes reach the wording through the platform table; Wine shows none,
// so made-up adapters stand for them here.
struct WordsCase {
    const char* Title;
    UnportedAdapter Adapter;
    std::string Line;
};
PRINTS_AS_TITLE(WordsCase)

class UnportedAdapterWords : public testing::TestWithParam<WordsCase> {};

TEST_P(UnportedAdapterWords, NameTheAdapterTheReasonAndTheRemedy) {
    EXPECT_EQ(UnportedAdapterLine(GetParam().Adapter), GetParam().Line);
}

UnportedAdapter WindowsAdapter(uint16_t vendorId, uint16_t productId, PortlessReason reason,
                               int code, const std::string& product = "") {
    UnportedAdapter adapter;
    adapter.VendorId = vendorId;
    adapter.ProductId = productId;
    adapter.Product = product;
    adapter.Reason = reason;
    adapter.ProblemCode = code;
    return adapter;
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, UnportedAdapterWords,
    testing::Values(
        WordsCase{"Ch340Code28",
                  WindowsAdapter(0x1a86, 0x7523, PortlessReason::PROBLEM_CODE, 28, "USB2.0-Serial"),
                  "USB serial adapter 1a86:7523 USB2.0-Serial has no working driver (Device "
                  "Manager shows code 28): install the chip maker's driver (WCH)"},
        WordsCase{"Pl2303Code10", WindowsAdapter(0x067b, 0x2303, PortlessReason::PROBLEM_CODE, 10),
                  "USB serial adapter 067b:2303 has no working driver (Device Manager shows code "
                  "10): install the chip maker's driver (Prolific)"},
        WordsCase{"Cp210xCode28", WindowsAdapter(0x10c4, 0xea70, PortlessReason::PROBLEM_CODE, 28),
                  "USB serial adapter 10c4:ea70 has no working driver (Device Manager shows code "
                  "28): install the chip maker's driver (Silicon Labs)"},
        // A CDC-ACM device of any maker: none is named.
        WordsCase{"CdcAcmMakerUnknown",
                  WindowsAdapter(0x2e8a, 0x000a, PortlessReason::PROBLEM_CODE, 28, "Pico"),
                  "USB serial adapter 2e8a:000a Pico has no working driver (Device Manager shows "
                  "code 28): install the chip maker's driver"},
        WordsCase{"FtdiWithoutVcp",
                  WindowsAdapter(0x0403, 0x6010, PortlessReason::NO_VCP, 0, "Dual RS232-HS"),
                  "USB serial adapter 0403:6010 Dual RS232-HS has no COM port: in Device Manager, "
                  "the adapter's Advanced properties, tick Load VCP"}),
    TitleOf<WordsCase>);

struct UsbCase {
    const char* Title;
    std::vector<FakeTty> Ttys;
    std::string Selector; // as given to -c
    std::string Found;    // the port taken; "" when none is
    std::string Said;     // on standard output
    std::string Notes;    // on standard error
};
PRINTS_AS_TITLE(UsbCase)

class UsbAdapterChosen : public testing::TestWithParam<UsbCase> {};

// Exactly one match is taken; none or several, and nothing is.
TEST_P(UsbAdapterChosen, OnlyWhenExactlyOneMatches) {
    const UsbCase& c = GetParam();
    const PortTree tree(c.Ttys);
    ConsoleCapture console;
    EXPECT_TRUE(IsUsbSelector(c.Selector));
    std::string port = c.Selector;
    EXPECT_EQ(FindUsbAdapter(c.Selector, &port), !c.Found.empty());
    EXPECT_EQ(port, c.Found.empty() ? c.Selector : c.Found);
    EXPECT_EQ(console.Text(), c.Said);
    EXPECT_EQ(console.Notes(), c.Notes);
}

const std::string SEVERAL = "; -c must name one, by its name or by usb: and its serial number\n";

INSTANTIATE_TEST_SUITE_P(
    Selectors, UsbAdapterChosen,
    testing::Values(
        UsbCase{"TheOneAdapter",
                {FTDI, UART, NO_NODE},
                "usb",
                "ttyUSB1",
                "",
                "Using ttyUSB1 for -c usb: " + FTDI_LINE + "\n"},
        UsbCase{"NoneAtAll",
                {},
                "usb",
                "",
                "No USB serial adapter matches usb\n",
                "No serial ports found\n"},
        UsbCase{"NoneAmongOtherPorts",
                {UART, GADGET},
                "usb",
                "",
                "No USB serial adapter matches usb\n",
                "ttyGS0   g_serial\nttyS0    built-in serial port\n"},
        UsbCase{"Several", BENCH, "usb", "", "Several USB serial adapters match usb" + SEVERAL,
                "ttyACM0   " + CDC_LINE + "\nttyUSB0   " + CH340_LINE + "\nttyUSB1   " + FTDI_LINE +
                    "\n"},
        UsbCase{"SerialTailAnyCase", BENCH, "usb:85bi", "ttyUSB1", "",
                "Using ttyUSB1 for -c usb:85bi: " + FTDI_LINE + "\n"},
        UsbCase{"WholeSerial", BENCH, "USB:E6614103E7", "ttyACM0", "",
                "Using ttyACM0 for -c USB:E6614103E7: " + CDC_LINE + "\n"},
        UsbCase{"VendorAndProduct", BENCH, "usb:1A86:7523", "ttyUSB0", "",
                "Using ttyUSB0 for -c usb:1A86:7523: " + CH340_LINE + "\n"},
        UsbCase{"SameIdsTwice",
                {FTDI, {"ttyUSB2", "ftdi_sio", "0403:6001", {"FTDI", "FT232R USB UART", "B7"}}},
                "usb:0403:6001",
                "",
                "Several USB serial adapters match usb:0403:6001" + SEVERAL,
                "ttyUSB1   " + FTDI_LINE +
                    "\nttyUSB2   USB serial adapter 0403:6001 FTDI FT232R USB UART, serial B7\n"},
        // An adapter that is not plugged in has no node, and is never taken.
        UsbCase{"UnpluggedNeverTaken", BENCH, "usb:DN04ZQ7T", "",
                "No USB serial adapter matches usb:DN04ZQ7T\n",
                "ttyACM0   " + CDC_LINE + "\nttyUSB0   " + CH340_LINE + "\nttyUSB1   " + FTDI_LINE +
                    "\nttyGS0    g_serial\nttyS0     built-in serial port\n"}),
    TitleOf<UsbCase>);

struct RunCase {
    const char* Title;
    std::vector<FakeTty> Ttys;
    std::vector<std::string> Args;
    int Status;
    std::string Said;  // on standard output
    std::string Notes; // on standard error
};
PRINTS_AS_TITLE(RunCase)

const FakeTty NO_DRIVER =
    Portless("067b:23a3", {"Prolific Technology Inc.", "USB-Serial Controller", ""}, "");
const std::string NO_DRIVER_LINE =
    "USB serial adapter 067b:23a3 Prolific Technology Inc. USB-Serial Controller has no driver in "
    "this kernel (module pl2303 not present under /lib/modules/" +
    RELEASE + ": install the kernel's extra modules package, or a driver from the chip's maker)\n";

class PortsForTheOperator : public testing::TestWithParam<RunCase> {};

// The listing on standard output for -l; where a port must be named, standard output keeps the
// usage lines as they are and the ports go to standard error. No port is opened, no file read.
TEST_P(PortsForTheOperator, AreNamedOnTheRightStream) {
    const RunCase& c = GetParam();
    const PortTree tree(c.Ttys);
    const UpdateRun run = RunUpdateWith(c.Args);
    EXPECT_EQ(run.Status, c.Status);
    EXPECT_EQ(run.Console, c.Said);
    EXPECT_EQ(run.Notes, c.Notes);
    EXPECT_EQ(PortHandle, INVALID_PORT);
}

const std::string USAGE = "Brelwick.exe\n  -f file\n  -q ('quiet' - do not prompt to begin)\n"
                          "  -c com (port as COM1, COM2, COM6 ... )\n";
const std::string BENCH_LINES = "ttyACM0   " + CDC_LINE + "\nttyUSB0   " + CH340_LINE +
                                "\nttyUSB1   " + FTDI_LINE +
                                "\nttyGS0    g_serial\nttyS0     built-in serial port\n";

INSTANTIATE_TEST_SUITE_P(
    Switches, PortsForTheOperator,
    testing::Values(
        RunCase{"List", BENCH, {"-l"}, 0, BENCH_LINES, ""},
        RunCase{"ListAndNothingElse",
                BENCH,
                {"--list", "-c", "ttyS0", "-f", "none.hex", "-h"},
                0,
                BENCH_LINES,
                ""},
        RunCase{"ListNone", {CONSOLE}, {"-L"}, 1, "", "No serial ports found\n"},
        RunCase{"NoPort", BENCH, {"-f", "fw.hex"}, 1, USAGE, BENCH_LINES},
        RunCase{"BarePort", BENCH, {"-c", "-f", "fw.hex"}, 1, USAGE, BENCH_LINES},
        RunCase{"NoPortNoneThere", {}, {"-f", "fw.hex"}, 1, USAGE, "No serial ports found\n"},
        RunCase{"NoFileOnly", BENCH, {"-c", "ttyS0"}, 1, USAGE, ""},
        RunCase{"SeveralAdapters",
                BENCH,
                {"-c", "usb", "-f", "none.hex", "-q"},
                1,
                "Several USB serial adapters match usb" + SEVERAL,
                "ttyACM0   " + CDC_LINE + "\nttyUSB0   " + CH340_LINE + "\nttyUSB1   " + FTDI_LINE +
                    "\n"},
        RunCase{"NoAdapterMatches",
                BENCH,
                {"-c", "usb:0403:6015", "-f", "none.hex"},
                1,
                "No USB serial adapter matches usb:0403:6015\n",
                BENCH_LINES},
        RunCase{"PortNamedTwice",
                BENCH,
                {"-c", "ttyS0,ttyUSB0,/dev/ttyS0", "-f", "none.hex", "-q"},
                1,
                "-c names /dev/ttyS0 twice\n",
                ""},
        RunCase{"AdapterNamedTwice",
                BENCH,
                {"-c", "ttyUSB1,usb:85bi", "-f", "none.hex", "-q"},
                1,
                "-c names ttyUSB1 twice\n",
                "Using ttyUSB1 for -c usb:85bi: " + FTDI_LINE + "\n"},
        RunCase{"EmptyPortName",
                BENCH,
                {"-c", "ttyS0,,ttyUSB0", "-f", "none.hex", "-q"},
                1,
                "-c ttyS0,,ttyUSB0 names an empty port\n",
                ""},
        RunCase{"AllAdaptersNoneThere",
                {UART, GADGET},
                {"-c", "usb:all", "-f", "none.hex", "-q"},
                1,
                "No USB serial adapter matches usb:all\n",
                "ttyGS0   g_serial\nttyS0    built-in serial port\n"},
        // An adapter plugged in without a tty is said on standard error after what is found.
        RunCase{"ListThenWhyNoTty",
                {FTDI, UART, NO_DRIVER},
                {"-l"},
                0,
                "ttyUSB1   " + FTDI_LINE + "\nttyS0     built-in serial port\n",
                NO_DRIVER_LINE},
        RunCase{"ListNoneThenWhyNoTty",
                {NO_DRIVER, CONSOLE},
                {"-l"},
                1,
                "",
                "No serial ports found\n" + NO_DRIVER_LINE},
        RunCase{"NoAdapterMatchesThenWhyNoTty",
                {UART, NO_DRIVER},
                {"-c", "usb", "-f", "none.hex"},
                1,
                "No USB serial adapter matches usb\n",
                "ttyS0   built-in serial port\n" + NO_DRIVER_LINE}),
    TitleOf<RunCase>);

// usb:all takes every USB serial adapter present, and nothing else, in the listing's order;
// usb:TEXT among other ports takes the one it matches.
TEST(BenchPortsNamed, AreEveryAdapterOrTheOnesGiven) {
    const struct {
        std::vector<FakeTty> Ttys;
        std::string Typed;
        std::vector<std::string> Ports;
    } cases[] = {
        {{UART, FTDI}, "usb:all", {"ttyUSB1"}},
        {BENCH, "USB:ALL", {"ttyACM0", "ttyUSB0", "ttyUSB1"}},
        {BENCH, "ttyS0,usb:1a86:7523", {"ttyS0", "ttyUSB0"}},
    };
    for (const auto& c : cases) {
        const PortTree tree(c.Ttys);
        ConsoleCapture console;
        std::vector<std::string> ports;
        EXPECT_TRUE(NamesSeveralPorts(c.Typed)) << c.Typed;
        EXPECT_EQ(BenchPorts(c.Typed, &ports), 0) << c.Typed << console.Text();
        EXPECT_EQ(ports, c.Ports) << c.Typed;
    }
    EXPECT_FALSE(NamesSeveralPorts("usb"));
    EXPECT_FALSE(NamesSeveralPorts("ttyUSB0"));
}

// --wait looks again until the adapter is plugged in, and says once that it waits.
TEST(PortWait, GoesOnWhenTheAdapterIsPluggedIn) {
    const PortTree tree({UART, NO_NODE});
    const auto start = std::chrono::steady_clock::now();
    std::thread plug([&tree] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        tree.Plug(NO_NODE.Name);
    });
    // A fingerprint to match loads the file before any port is opened: the missing file ends the
    // run once the adapter is found.
    const UpdateRun run = RunUpdateWith(
        {"-c", "usb:DN04ZQ7T", "-f", "none.hex", "-q", "--wait", "--expect", std::string(64, 'a')});
    plug.join();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.Status, STATUS_FILE_REFUSED) << run.Console;
    EXPECT_EQ(run.Notes, "Waiting for usb:DN04ZQ7T to be plugged in (Ctrl-C stops)\n"
                         "Using ttyUSB7 for -c usb:DN04ZQ7T: USB serial adapter 0403:6015 FTDI "
                         "FT230X, serial DN04ZQ7T\n");
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 3.5);
}

// ---- A start from Explorer: a console window of the program's own ----

// The platform says the window is the program's own for as long as the object lives.
class OwnWindow {
  public:
    OwnWindow() { SetOwnConsoleWindowForTests(true); }
    ~OwnWindow() { SetOwnConsoleWindowForTests(false); }
    OwnWindow(const OwnWindow&) = delete;
    OwnWindow& operator=(const OwnWindow&) = delete;
};

struct DropCase {
    const char* Title;
    std::vector<std::string> Args; // before -n; {dir} stands for the test's directory
    std::string Input;             // what the operator types
    int Status;
    std::string Said;       // before the check's own lines, {dir} as above
    std::string Notes = ""; // on standard error
};
PRINTS_AS_TITLE(DropCase)

class FileInWindow : public testing::TestWithParam<DropCase> {};

// The file dropped on the program, or dragged into the window when asked for, is the one checked
// (-n, so that no port is needed).
TEST_P(FileInWindow, IsTheOneDroppedOrTyped) {
    const DropCase& c = GetParam();
    TempDir dir;
    const std::string hex = ":0300000012345661\n:00000001FF\n";
    dir.Write("fw.hex", hex);
    dir.Write("my fw.hex", hex);
    const auto Named = [&](std::string text) {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) {
            text.replace(at, 5, dir.Path(""));
        }
        return text;
    };
    std::vector<std::string> args;
    for (const std::string& arg : c.Args) {
        args.push_back(Named(arg));
    }
    args.push_back("-n"); // last, so that it takes no value
    const OwnWindow window;
    const UpdateRun run = RunUpdateWith(args, Named(c.Input));
    EXPECT_EQ(run.Status, c.Status);
    const std::string said = Named(c.Said);
    EXPECT_EQ(run.Console.substr(0, said.size()), said);
    if (c.Status == 0) {
        EXPECT_NE(run.Console.find("Image length 3 bytes\n", said.size()), std::string::npos)
            << run.Console;
    } else {
        EXPECT_EQ(run.Console, said);
    }
    EXPECT_EQ(run.Notes, Named(c.Notes));
}

const std::string ASK_FILE =
    "Drag the firmware file into this window and press Enter (Enter alone stops): ";

INSTANTIATE_TEST_SUITE_P(
    Explorer, FileInWindow,
    testing::Values(
        DropCase{"Dropped", {"{dir}fw.hex"}, "", 0, "Loading {dir}fw.hex  Size 30 \n"},
        DropCase{"DroppedWithSpaces", {"{dir}my fw.hex"}, "", 0, "Loading {dir}my fw.hex  Size"},
        DropCase{"SeveralDropped",
                 {"{dir}fw.hex", "{dir}my fw.hex"},
                 "",
                 1,
                 "One firmware file is wanted, and 2 were given: drop one file on the program\n"},
        // A folder is no firmware file: the file is asked for.
        DropCase{
            "FolderDropped",
            {"{dir}"},
            "{dir}fw.hex\n",
            0,
            ASK_FILE + "Loading {dir}fw.hex",
            "Ignoring argument '{dir}': no switch takes it (a name with spaces needs quotes)\n"},
        DropCase{"Typed", {}, "{dir}fw.hex\n", 0, ASK_FILE + "Loading {dir}fw.hex  Size 30 \n"},
        // A console types a dragged path in quotes when it has spaces, and Windows ends the line
        // with CR LF.
        DropCase{"DraggedWithQuotes",
                 {},
                 "  \"{dir}my fw.hex\" \r\n",
                 0,
                 ASK_FILE + "Loading {dir}my fw.hex  Size 30 \n"},
        DropCase{"EmptyAnswerStops", {}, "\n", 1, ASK_FILE},
        DropCase{"QuotesAloneStop", {}, "\"\"\n", 1, ASK_FILE},
        DropCase{"EndOfInputStops", {}, "", 1, ASK_FILE}),
    TitleOf<DropCase>);

struct WindowPortCase {
    const char* Title;
    std::vector<FakeTty> Ttys;
    std::string Input;
    std::string Found; // "" when the operator stopped
    std::string Said;
    std::string Notes;
};
PRINTS_AS_TITLE(WindowPortCase)

class PortInWindow : public testing::TestWithParam<WindowPortCase> {};

TEST_P(PortInWindow, IsTheOneAdapterOrTheOnePicked) {
    const WindowPortCase& c = GetParam();
    const PortTree tree(c.Ttys);
    FILE* input = std::tmpfile();
    std::fputs(c.Input.c_str(), input);
    std::rewind(input);
    std::string port;
    int status = -1;
    {
        ConsoleCapture console(input);
        status = FindPortInWindow(&port);
        EXPECT_EQ(console.Text(), c.Said);
        EXPECT_EQ(console.Notes(), c.Notes);
    }
    std::fclose(input);
    EXPECT_EQ(status, c.Found.empty() ? STATUS_USAGE : 0);
    EXPECT_EQ(port, c.Found);
}

const std::string NONE_PLUGGED = "No USB serial adapter is plugged in: plug in the cable to the "
                                 "unit.\nThen press Enter to look again (q and Enter stops): ";
const std::string PICK = "Several USB serial adapters are plugged in:\n"
                         "  1  ttyACM0   " +
                         CDC_LINE + "\n  2  ttyUSB0   " + CH340_LINE + "\n  3  ttyUSB1   " +
                         FTDI_LINE + "\n";
const std::string WHICH = "Type the number of the one the unit is on and press Enter (Enter "
                          "alone stops): ";

INSTANTIATE_TEST_SUITE_P(
    Explorer, PortInWindow,
    testing::Values(
        WindowPortCase{
            "TheOneAdapter", {FTDI, UART}, "", "ttyUSB1", "", "Using ttyUSB1: " + FTDI_LINE + "\n"},
        WindowPortCase{
            "NoneLookAgainThenStop", {UART}, "\nq\n", "", NONE_PLUGGED + NONE_PLUGGED, ""},
        WindowPortCase{"NoneEndOfInput", {}, "", "", NONE_PLUGGED, ""},
        WindowPortCase{"SeveralPicked", BENCH, "2\r\n", "ttyUSB0", PICK + WHICH,
                       "Using ttyUSB0: " + CH340_LINE + "\n"},
        WindowPortCase{"SeveralAskedAgain", BENCH, "x\n0\n4\n 3 \n", "ttyUSB1",
                       PICK + WHICH + WHICH + WHICH + WHICH, "Using ttyUSB1: " + FTDI_LINE + "\n"},
        WindowPortCase{"SeveralEnterAloneStops", BENCH, "x\n\n", "", PICK + WHICH + WHICH, ""},
        WindowPortCase{"SeveralQStops", BENCH, "q\n", "", PICK + WHICH, ""}),
    TitleOf<WindowPortCase>);

TEST(UsbSelector, IsUsbAloneOrWithAColon) {
    for (const char* name : {"usb", "USB", "usb:", "usb:A1", "Usb:0403:6001"}) {
        EXPECT_TRUE(IsUsbSelector(name)) << name;
    }
    for (const char* name : {"ttyUSB0", "usbserial", "/dev/usb", "COM3", ""}) {
        EXPECT_FALSE(IsUsbSelector(name)) << name;
    }
}

// The adapter's latency timer as sysfs shows it, in a made-up tree: found through the port's own
// name or a by-id link, and unknown where the driver has none.
struct LatencyCase {
    const char* Title;
    std::string Port;
    std::string Tty;               // whose device/latency_timer the tree holds
    const char* Timer;             // what the file holds; nullptr: there is no file
    std::vector<std::string> Link; // {by-id name, target}, or empty
    int TimerMs;
    std::string Remedy; // part of what the operator is told to do
};
PRINTS_AS_TITLE(LatencyCase)

class AdapterLatencyShown : public testing::TestWithParam<LatencyCase> {
  protected:
    void TearDown() override { SetPortSearchRoot(""); }
    TempDir m_Root;
};

TEST_P(AdapterLatencyShown, IsReadFromTheTtysDevice) {
    const LatencyCase& c = GetParam();
    const std::string device = m_Root.Path("sys/class/tty/" + c.Tty + "/device");
    ASSERT_EQ(
        system(("mkdir -p '" + device + "' '" + m_Root.Path("dev/serial/by-id") + "'").c_str()), 0);
    m_Root.Write("dev/" + c.Tty, "");
    if (c.Timer != nullptr) {
        m_Root.Write("sys/class/tty/" + c.Tty + "/device/latency_timer", c.Timer);
    }
    if (!c.Link.empty()) {
        ASSERT_EQ(symlink(c.Link[1].c_str(), m_Root.Path("dev/serial/by-id/" + c.Link[0]).c_str()),
                  0);
    }
    SetPortSearchRoot(m_Root.Path(""));
    const AdapterLatency latency = SerialAdapterLatency(c.Port);
    EXPECT_EQ(latency.TimerMs, c.TimerMs);
    EXPECT_NE(latency.Remedy.find(c.Remedy), std::string::npos) << latency.Remedy;
}

const std::string UDEV_RULE =
    "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"";
const std::string NO_TIMER = "The adapter shows no latency timer to set";

INSTANTIATE_TEST_SUITE_P(
    Trees, AdapterLatencyShown,
    testing::Values(
        LatencyCase{"ByName",
                    "ttyUSB0",
                    "ttyUSB0",
                    "16\n",
                    {},
                    16,
                    "echo 1 | sudo tee /sys/class/tty/ttyUSB0/device/latency_timer. To set it each "
                    "time the adapter is plugged in, put this udev rule in "
                    "/etc/udev/rules.d/99-usb-serial-latency.rules: " +
                        UDEV_RULE},
        LatencyCase{"ThroughAStableName",
                    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0",
                    "ttyUSB3",
                    "1\n",
                    {"usb-FTDI_FT232R_USB_UART_A1-if00-port0", "../../ttyUSB3"},
                    1,
                    "/sys/class/tty/ttyUSB3/device/latency_timer"},
        LatencyCase{
            "DriverWithoutTimer", "ttyACM0", "ttyACM0", nullptr, {}, LATENCY_UNKNOWN, NO_TIMER},
        LatencyCase{"NotANumber", "ttyUSB0", "ttyUSB0", "fast\n", {}, LATENCY_UNKNOWN, NO_TIMER}),
    TitleOf<LatencyCase>);

struct HintCase {
    const char* Title;
    int Code;
    std::string Port;
    std::string Hint;
};
PRINTS_AS_TITLE(HintCase)

class OpenHint : public testing::TestWithParam<HintCase> {
  protected:
    // No ports at all, so that the hints do not depend on this machine.
    void SetUp() override { SetPortSearchRoot(m_Empty.Path("")); }
    void TearDown() override { SetPortSearchRoot(""); }
    TempDir m_Empty;
};

TEST_P(OpenHint, FitsTheError) {
    EXPECT_EQ(SerialOpenHint(GetParam().Code, GetParam().Port), GetParam().Hint);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OpenHint,
    testing::Values(
        HintCase{"PermissionDenied", EACCES, "ttyUSB0",
                 "to open serial ports your user must be in the group dialout: "
                 "sudo usermod -aG dialout $USER, then log in again"},
        HintCase{"Busy", EBUSY, "ttyUSB0",
                 "another program holds the port; close it and try again"},
        HintCase{"BusyModem", EBUSY, "/dev/ttyACM0",
                 "another program holds the port; close it and try again (ModemManager takes "
                 "ttyACM ports on some systems)"},
        HintCase{"NotFound", ENOENT, "ttyUSB0", NONE_FOUND},
        HintCase{"NotATerminal", ENOTTY, "null", "/dev/null is not a serial port; " + NONE_FOUND},
        HintCase{"NotATerminalAbsolute", ENOTTY, "/tmp",
                 "/tmp is not a serial port; " + NONE_FOUND},
        HintCase{"NoUartBehind", EIO, "ttyS1",
                 "no serial hardware answers at /dev/ttyS1; " + NONE_FOUND},
        HintCase{"AdapterPulled", ENXIO, "ttyUSB0",
                 "no serial hardware answers at /dev/ttyUSB0; " + NONE_FOUND},
        HintCase{"NothingToAdd", EINVAL, "ttyUSB0", ""},
        HintCase{"TooManyFiles", EMFILE, "ttyUSB0", ""}),
    TitleOf<HintCase>);

// A device whose group is not root's names that group: uucp on Arch, dialout on Debian.
TEST(OpenHintGroup, NamesTheDevicesOwnGroup) {
    const group* uucp = getgrnam("uucp");
    if (geteuid() != 0 || uucp == nullptr) {
        GTEST_SKIP() << "needs root and a uucp group to give a file that group";
    }
    TempDir dir;
    const std::string device = dir.Write("ttyUSB0", "");
    ASSERT_EQ(chown(device.c_str(), static_cast<uid_t>(-1), uucp->gr_gid), 0);
    EXPECT_EQ(SerialOpenHint(EACCES, device),
              "to open serial ports your user must be in the group uucp: "
              "sudo usermod -aG uucp $USER, then log in again");
}

// The program itself: the "Error Opening" line, then exactly one line with the system's words and
// the hint, and status 1.
struct ProgramCase {
    const char* Title;
    std::string Port; // "{file}" a regular file, "{held}" a pty another program holds
    int Code;
    std::string Words; // the system's own description, which the second line begins with
};
PRINTS_AS_TITLE(ProgramCase)

class OpenFailureLines : public testing::TestWithParam<ProgramCase> {};

TEST_P(OpenFailureLines, CodeThenWordsAndHint) {
    const ProgramCase& c = GetParam();
    TempDir dir;
    Pty held;
    // flock is what the program takes too, so this stands for another program holding the port.
    ASSERT_EQ(flock(held.Slave, LOCK_EX | LOCK_NB), 0);
    std::string port = c.Port;
    if (port == "{file}") {
        port = dir.Write("fw.hex", "");
    } else if (port == "{held}") {
        port = held.SlavePath;
    }
    const ProcessResult run = RunProcess({BRELWICK_EXE, "-q", "-c", port, "-f", "fw.hex"});
    EXPECT_EQ(run.Status, 1);
    const std::string second = OpenFailureText(c.Code, port);
    EXPECT_EQ(run.Out,
              "Error Opening " + port + "... " + std::to_string(c.Code) + "\n" + second + "\n");
    EXPECT_EQ(second.rfind(c.Words + " - ", 0), 0u) << second;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, OpenFailureLines,
    testing::Values(ProgramCase{"Missing", "ttyNOSUCH7", ENOENT, "No such file or directory"},
                    ProgramCase{"NotATerminal", "null", ENOTTY, "Inappropriate ioctl for device"},
                    ProgramCase{"RegularFile", "{file}", ENOTTY, "Inappropriate ioctl for device"},
                    ProgramCase{"HeldByAnother", "{held}", EBUSY, "Device or resource busy"}),
    TitleOf<ProgramCase>);

TEST(OpenFailureText, IsTheWordsAloneWithoutAHint) {
    EXPECT_EQ(OpenFailureText(EINVAL, "ttyUSB0"), std::strerror(EINVAL));
    EXPECT_EQ(OpenFailureText(EBUSY, "ttyUSB0"),
              std::string(std::strerror(EBUSY)) +
                  " - another program holds the port; close it and try again");
}

} // namespace
