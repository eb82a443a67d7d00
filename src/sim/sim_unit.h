// The simulated unit's loader: what it answers to each byte that comes down the line, and the
// misbehaviour it can be asked for. It knows nothing of ptys or clocks; unit_sim.cpp feeds it
// bytes and sends what it queues.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t SIM_ACK = 0x06;     // the checksum acknowledgement
constexpr uint8_t SIM_FLASHED = 0x17; // the flash block was erased and written
constexpr uint8_t SIM_NOISE = '.';    // what --no-soh sends

// A place in the transfer: block `Block`, data byte `Byte`. Block -1 matches no block.
struct SimPlace {
    int Block = -1;
    int Byte = -1;
    bool At(int block, int byte) const { return Block == block && Byte == byte; }
};

struct SimFaults {
    bool Silent = false;
    int BadEcho = 0; // handshake byte 1 to 6 echoed wrong
    std::string Greeting;
    bool NoSoh = false;
    int ShortHeader = -1; // the block whose header echo lacks its last byte
    SimPlace MissEcho;
    SimPlace WrongEcho;
    int ShortTrailer = -1;
    int NoAck = -1;
    int NoFlashReply = -1;
    int SlowFlashBlock = -1;
    unsigned SlowFlashMs = 0;
    int HangupHandshake = 0; // hang up when this handshake byte (1 to 6) comes; 7: for SOH
    SimPlace HangupData;     // hang up when this data byte comes
    SimPlace SilentFrom;     // from this data byte on, answer nothing (a unit whose battery died)
    int HangupTrailer = -1;  // hang up when this block's trailer comes
    unsigned AfterEnd = 0;   // bytes sent after the end marker
};

// One byte for the line, `DelayMs` after the byte that caused it arrived.
struct SimOutput {
    uint8_t Byte;
    unsigned DelayMs;
};

class CSimUnit {
  public:
    explicit CSimUnit(const SimFaults& faults) : m_Faults(faults) {}
    virtual ~CSimUnit() = default;

    // Takes one byte from the line and queues the answers.
    void Receive(uint8_t byte);
    // Answers queued since the last call, in order.
    std::vector<SimOutput> TakeOutput();

    // The line is to be dropped once what was queued before has gone and been read.
    bool HungUp() const { return m_State == State::HUNG_UP; }
    bool Finished() const { return m_State == State::FINISHED; }
    // --no-soh: the unit keeps talking and never says SOH.
    bool Babbling() const { return m_State == State::BABBLING; }
    // The flash as the blocks wrote it: only blocks whose check value held, as a unit writes only
    // those; the bytes of any other block are 0.
    const std::vector<uint8_t>& Flash() const { return m_Flash; }
    int Blocks() const { return m_NextBlock; }
    int BadBlocks() const { return m_BadBlocks; }
    // Every block arrived well framed with its check value holding, and the end marker came.
    bool Verified() const { return Finished() && m_BadBlocks == 0; }
    const std::vector<std::string>& Report() const { return m_Report; }

  private:
    enum class State {
        COMMAND,
        BABBLING,
        HEADER,
        DATA,
        TRAILER,
        END_MARKER,
        FINISHED,
        HUNG_UP,
        SILENT
    };

    void Send(uint8_t byte, unsigned delayMs = 0) { m_Output.push_back({byte, delayMs}); }
    void OnCommandByte(uint8_t byte);
    void OnHeaderByte(uint8_t byte);
    void OnDataByte(uint8_t byte);
    void OnTrailerByte(uint8_t byte);
    void StartBlock();
    void FinishBlock();
    void Note(const std::string& line) { m_Report.push_back(line); }

    SimFaults m_Faults;
    State m_State = State::COMMAND;
    std::vector<SimOutput> m_Output;
    std::vector<uint8_t> m_Flash;
    std::vector<uint8_t> m_Block; // the block being received
    std::vector<std::string> m_Report;
    uint8_t m_Frame[4] = {};
    int m_Framed = 0;    // bytes of the header or trailer so far
    int m_Command = 0;   // handshake bytes so far
    int m_NextBlock = 0; // the block the unit expects
    int m_Length = 0;
    int m_Received = 0;
    uint16_t m_Sum = 0;
    bool m_FrameBad = false;
    int m_BadBlocks = 0;
};
