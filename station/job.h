// A station job: the operations on one instrument system, in order, read
// from a job file or from one operation on the command line, checked against
// the job schema (job.schema.json) before anything is sent.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

enum class OperationKind : uint8_t {
    List,
    Report,
    Serial,
    Dates,
    Reset,
    ClearLog,
    FormatLogMedia,
    Setting,
    Download
};

// The USB-attached device an operation serves, by its bus address.
enum class JobDevice : uint8_t { Sonde = 1, ComModule = 2, Handheld = 3 };

struct JobOperation {
    OperationKind kind = OperationKind::List;
    std::string name;  // as the job spells it: "download"
    JobDevice device = JobDevice::Sonde;
    int board = 0;
    std::string serial;       // serial: the text to write
    bool nextSerial = false;  // serial: the station's next number instead
    bool build = true;        // dates
    bool maintenance = true;  // dates
    int intervalDays = 0;     // dates, a sensor board's maintenance interval
    int level = 0;            // reset
    int fluorometer = 0;      // setting of a sensor board
    int battery = 0;          // setting of the main board: 0 none, 1 NOBATT, 2 IBP
    std::string image;        // download: the image's path
    std::string imageSha256;  // download: the image's pinned hash, or empty
    // What the job expects of its board, checked against the listing
    // before the step runs: a catalogue type ("KDO"), or family and model
    // (-1: any), and the code versions it may run ("1.17"; empty: any).
    std::string expectType;
    int expectFamily = -1;
    int expectModel = -1;
    std::vector<std::string> fromVersions;
};

struct Job {
    std::string source;  // the job file, or "command line"
    std::vector<JobOperation> operations;
    bool needsSerial = false;  // an operation takes the station's next number
    nlohmann::json labels;     // the job's labels (part number, revision, order), or null
};

// The job schema's text (the installed job.schema.json, built in).
const char* JobSchemaText();

// Reads and checks a job file; relative image paths are taken from the job
// file's folder. 0, or nonzero with error naming the field
// ("operations[1].board: ...").
int LoadJobFile(const std::string& path, Job& job, std::string& error);
// The same for a job's text, named by source, whose relative image paths
// are taken from the given folder.
int LoadJobText(const std::string& text, const std::string& source, const std::string& folder,
                Job& job, std::string& error);
// One operation from the command line: "download --board 3 --image kdo.bin".
// Its options become the operation's fields and go through the same schema.
int JobFromArguments(const std::vector<std::string>& arguments, Job& job, std::string& error);
// The JSON names of a device.
const char* DeviceName(JobDevice device);
