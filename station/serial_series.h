// The serial-number series of a station: a template ("LX-{n:5}") or a list
// file, and its counter in the station's state folder. The counter belongs
// to the series, not to a results file: every station sharing the state
// folder takes its numbers from the same counter, one locked step at a time
// (read, advance, write a new file, flush it to the disk, rename it over the
// old one), so that neither a race nor a kill nor a power loss gives a
// number twice. A journal beside the counter says which numbers were taken
// and which were recorded.
#pragma once

#include <string>
#include <vector>

struct SerialSeries {
    std::string name;  // the template, or "list FILE"
    std::string templ;
    std::vector<std::string> list;
    std::string counterPath;
    std::string journalPath;
    std::string lockPath;
    long start = 1;           // the template's first value
    bool startGiven = false;  // --serial-start was given
};

// Reads the series (a template, or the list file's lines) and finds its
// counter in the state folder. 0; 2 for a bad template or list (error says
// why); 1 for a state folder or counter the station cannot use (error names
// the file and the system's reason).
int OpenSerialSeries(const std::string& templ, const std::string& listFile, long start,
                     bool startGiven, const std::string& stateFolder, SerialSeries& series,
                     std::string& error);

// Checks the counter before the run: it can be read and written, and the
// first number can be taken; the numbers a killed run took and never
// recorded are returned. 0, 1 or 2 as above.
int CheckSerialSeries(const SerialSeries& series, std::vector<std::string>& unrecorded,
                      std::string& error);

// Takes the next number for the run: 0; 2 when the series has none left (a
// list used up, a counter that outgrew the template's width); 1 when the
// counter cannot be written.
int TakeSerial(const SerialSeries& series, const std::string& runId, std::string& serial,
               std::string& error);

// Notes in the journal that the number's result was written.
void SerialRecorded(const SerialSeries& series, const std::string& runId,
                    const std::string& serial);
