// ductra-probe: looks at the workstation the way the library looks for the
// instrument, prints what it found in plain words and the one next step,
// and ends with a verdict whose number is the program's exit code. It only
// looks: it never claims an interface, never transfers a byte and changes no
// setting. Built beside the library, never into it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "usbpipe/ductra_internal.h"

namespace ductra {

// The verdicts and their exit codes (listed in ductra-probe(1)).
enum class Verdict : int {
    kReady = 0,
    kUsbUnreadable = 1,
    kNoInstrument = 2,
    kNotAccessible = 3,
    kInUse = 4,
    kNoPipes = 5,
    kGone = 6,
};

// The verdict's words, as the last line shows them.
const char* VerdictText(Verdict verdict);

// What the probe writes: the report; a list of every instrument found, one
// line each (its port, USB serial and verdict); or that list as one JSON
// document.
enum class ProbeOutput { kReport, kList, kJson };

// Looks, writes the report (or the list) to `sink` and returns the verdict's
// exit code; a list's is the worst verdict of the instruments in it.
int RunProbe(OutputSink sink, ProbeOutput output = ProbeOutput::kReport);

// One instrument of a list.
struct ListedInstrument {
    std::string port;    // "1-4.2"
    std::string serial;  // "" when it has none or it cannot be read
    Verdict verdict;
};
// Writes the list (or its JSON document) and returns the worst verdict's
// exit code; with none listed, the verdict of no instrument.
int WriteInstrumentList(OutputSink sink, ProbeOutput output,
                        const std::vector<ListedInstrument>& instruments);

#if !defined(_WIN32)

// The account that runs the probe and its standing with the udev rule's group.
struct ProbeAccount {
    char name[64];      // login name of the real user ("" when unknown)
    bool group_exists;  // the group is in the group database
    bool listed;        // the account is a member in the group database
    bool in_session;    // this process carries the group (the login has it)
    bool sudo;          // sudo is installed and the account is in a group that may use it
};

// The device node's owning group (its name, or its number when it has none)
// and permission bits; `seen` false when the node cannot be looked at.
struct ProbeNode {
    bool seen;
    char group[64];
    unsigned mode;
};

// What the access diagnosis asks of the system; the tests put their own in
// place of the real one.
struct ProbeHost {
    // Opens the device node for reading and writing, as the library does,
    // and closes it again: 0, or the errno of the refusal.
    int (*open_node)(const char* path);
    // Fills `node` for the device node at `path`.
    void (*node)(const char* path, ProbeNode* node);
    // The udev rule where a site puts its own (it overrides the other) and
    // where the package installs it.
    const char* site_rule;
    const char* packaged_rule;
    // Fills `account` for `group`.
    void (*account)(const char* group, ProbeAccount* account);
};

const ProbeHost& RealProbeHost();
// Puts `host` in place of the real one (nullptr restores it).
void SetProbeHost(const ProbeHost* host);

#endif

}  // namespace ductra
