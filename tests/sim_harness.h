// The simulated unit as the far end of a real tty, and the updater driven in-process against it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "support.h"

// What the unit saw and said once it stopped.
struct SimRun {
    int Status = -1;            // unit-sim's exit status
    std::string Report;         // what it wrote to standard error
    std::vector<uint8_t> Rx;    // every byte that came down the line
    std::vector<uint8_t> Flash; // what its blocks wrote into flash
};

// unit-sim serving a new pty, with the given fault switches.
class SimulatedUnit {
  public:
    explicit SimulatedUnit(const std::vector<std::string>& faults = {});
    ~SimulatedUnit();
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    const std::string& Port() const { return m_Port; }
    // Waits briefly for the unit to end by itself, stops it otherwise, and collects what it saw.
    SimRun Finish();

  private:
    TempDir m_Dir;
    pid_t m_Pid = -1;
    int m_Err = -1;
    std::string m_Port;
};

struct UpdateRun {
    int Status;
    std::string Console;
    std::string Notes; // what went to standard error
};

// Runs the updater in-process with these arguments after the program path, `input` on its
// console's input.
UpdateRun RunUpdateWith(const std::vector<std::string>& args, const std::string& input = "");

// What --json wrote (run.Notes) and --log appended (the file `log`) for a run of the update on
// the file `hexPath`: JSON lines only; `start` once, with the file's fingerprints as sha256sum and
// srec_cat make them, before every block and progress event; `end` last, with the run's status,
// result and last line; a block event for each block the program said it loaded; and one record
// in the log that says the same. `received`: the bytes the unit read from the line; the record
// counts what the port took, which is that much unless the line went down under bytes it held.
void ExpectOnRecord(const UpdateRun& run, const std::string& hexPath, const std::string& log,
                    size_t received, bool lineWentDown = false);
