#include "sim/sim_unit.h"

#include <algorithm>
#include <cstdio>

#include "protocol/unit_line.h"
#include "transfer/transfer.h"

namespace {

// A header's length, as the frame holds it.
constexpr int BLOCK_BYTES = static_cast<int>(BLOCK_SIZE);

std::string Format(const char* format, int a, int b = 0, int c = 0) {
    char line[160];
    std::snprintf(line, sizeof(line), format, a, b, c);
    return line;
}

} // namespace

void CSimUnit::Receive(uint8_t byte) {
    if (m_Faults.Silent) {
        return;
    }
    switch (m_State) {
    case State::COMMAND:
        OnCommandByte(byte);
        break;
    case State::HEADER:
        OnHeaderByte(byte);
        break;
    case State::DATA:
        OnDataByte(byte);
        break;
    case State::TRAILER:
        OnTrailerByte(byte);
        break;
    case State::END_MARKER:
        if (byte != END_MARKER[1]) {
            Note("end marker broken");
            ++m_BadBlocks;
        }
        m_State = State::FINISHED;
        Note(Format("end marker after %d blocks; %d of them bad", m_NextBlock, m_BadBlocks));
        for (unsigned i = 0; i < m_Faults.AfterEnd; ++i) {
            Send(SIM_NOISE);
        }
        break;
    case State::BABBLING:
    case State::FINISHED:
    case State::HUNG_UP:
    case State::SILENT:
        break;
    }
}

std::vector<SimOutput> CSimUnit::TakeOutput() {
    std::vector<SimOutput> output;
    output.swap(m_Output);
    return output;
}

void CSimUnit::OnCommandByte(uint8_t byte) {
    const int position = m_Command + 1;
    if (m_Faults.HangupHandshake == position) {
        Note(Format("hung up at handshake byte %d", position));
        m_State = State::HUNG_UP;
        return;
    }
    Send(m_Faults.BadEcho == position ? static_cast<uint8_t>(byte ^ 0x20) : byte);
    // A byte out of place starts the command word over, as a loader waiting for it would.
    m_Command = byte == TRANSFER_MODE_COMMAND[m_Command] ? position : 0;
    if (m_Command < static_cast<int>(sizeof(TRANSFER_MODE_COMMAND))) {
        return;
    }
    for (const char c : m_Faults.Greeting) {
        Send(static_cast<uint8_t>(c));
    }
    if (m_Faults.HangupHandshake == position + 1) {
        Note("hung up where SOH would come");
        m_State = State::HUNG_UP;
        return;
    }
    if (m_Faults.NoSoh) {
        m_State = State::BABBLING;
        return;
    }
    Send(SOH);
    StartBlock();
}

void CSimUnit::StartBlock() {
    m_State = State::HEADER;
    m_Framed = 0;
    m_FrameBad = false;
}

void CSimUnit::OnHeaderByte(uint8_t byte) {
    if (m_Framed == 0 && byte == END_MARKER[0]) {
        m_State = State::END_MARKER;
        return;
    }
    m_Frame[m_Framed++] = byte;
    if (!(m_Framed == 4 && m_Faults.ShortHeader == m_NextBlock)) {
        Send(byte);
    }
    if (m_Framed < 4) {
        return;
    }
    m_Length = m_Frame[2] << 8 | m_Frame[3];
    if (m_Frame[0] != STX || m_Frame[1] != static_cast<uint8_t>(m_NextBlock) ||
        m_Length > BLOCK_BYTES) {
        Note(Format("block %d: bad header %02x %02x ...", m_NextBlock, m_Frame[0], m_Frame[1]));
        m_FrameBad = true;
        m_Length = m_Length > BLOCK_BYTES ? BLOCK_BYTES : m_Length;
    }
    m_Sum = static_cast<uint16_t>(m_Frame[0] + m_Frame[1] + m_Frame[2] + m_Frame[3]);
    m_Received = 0;
    m_Block.assign(static_cast<size_t>(m_Length), 0);
    m_Framed = 0;
    m_State = m_Length == 0 ? State::TRAILER : State::DATA;
}

void CSimUnit::OnDataByte(uint8_t byte) {
    const int i = m_Received++;
    if (m_Faults.HangupData.At(m_NextBlock, i)) {
        Note(Format("hung up at block %d byte %d", m_NextBlock, i));
        m_State = State::HUNG_UP;
        return;
    }
    if (m_Faults.SilentFrom.At(m_NextBlock, i)) {
        Note(Format("silent from block %d byte %d", m_NextBlock, i));
        m_State = State::SILENT;
        return;
    }
    m_Block[static_cast<size_t>(i)] = byte;
    m_Sum = static_cast<uint16_t>(m_Sum + byte);
    if (m_Faults.WrongEcho.At(m_NextBlock, i)) {
        Send(static_cast<uint8_t>(byte ^ 0x5A));
    } else if (!m_Faults.MissEcho.At(m_NextBlock, i)) {
        Send(byte);
    }
    if (m_Received == m_Length) {
        m_State = State::TRAILER;
    }
}

void CSimUnit::OnTrailerByte(uint8_t byte) {
    if (m_Framed == 0 && m_Faults.HangupTrailer == m_NextBlock) {
        Note(Format("hung up at block %d trailer", m_NextBlock));
        m_State = State::HUNG_UP;
        return;
    }
    m_Frame[m_Framed++] = byte;
    if (!(m_Framed == 3 && m_Faults.ShortTrailer == m_NextBlock)) {
        Send(byte);
    }
    if (m_Framed == 3) {
        FinishBlock();
    }
}

void CSimUnit::FinishBlock() {
    const uint16_t check = static_cast<uint16_t>(m_Frame[0] << 8 | m_Frame[1]);
    const bool held = static_cast<uint16_t>(m_Sum + check) == 0 && m_Frame[2] == ETX;
    if (!held || m_FrameBad) {
        ++m_BadBlocks;
    } else {
        const size_t start = static_cast<size_t>(m_NextBlock) * BLOCK_SIZE;
        m_Flash.resize(std::max(m_Flash.size(), start + m_Block.size()));
        std::copy(m_Block.begin(), m_Block.end(), m_Flash.begin() + static_cast<long>(start));
    }
    Note(Format(held ? "block %d: %d bytes, check value held"
                     : "block %d: %d bytes, CHECK VALUE WRONG",
                m_NextBlock, m_Length));
    if (m_Faults.NoAck != m_NextBlock) {
        Send(SIM_ACK);
    }
    if (m_Faults.NoFlashReply != m_NextBlock) {
        Send(SIM_FLASHED, m_Faults.SlowFlashBlock == m_NextBlock ? m_Faults.SlowFlashMs : 0);
    }
    ++m_NextBlock;
    StartBlock();
}
