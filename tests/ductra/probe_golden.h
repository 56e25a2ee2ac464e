// What the backends' probe tables share: a report compared whole with its
// reviewed file, tests/golden/probe/NAME.txt, as the golden sessions are. A
// report that differs is written to probe-new/ in the build tree, from where
// it is copied over the golden file after a deliberate change (and the
// change read in review like code).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// The first line names the program's version; the files say "<version>".
inline std::string Versioned(std::string text, const std::string& from, const std::string& to) {
    const std::string first = "ductra-probe " + from + ":";
    if (text.rfind(first, 0) == 0) text.replace(0, first.size(), "ductra-probe " + to + ":");
    return text;
}

inline std::string ReadProbeGolden(const std::string& file) {
    std::ifstream in(std::filesystem::path(DUCTRA_PROBE_GOLDEN_DIR) / file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Versioned(text, "<version>", DUCTRA_PROBE_TEST_VERSION);
}

// Line `number` (from 1) of `text`, quoted; or the end.
inline std::string ShownReportLine(const std::string& text, std::size_t number) {
    std::istringstream lines(text);
    std::string line;
    for (std::size_t k = 0; k < number; ++k) {
        if (!std::getline(lines, line)) return "<end of file>";
    }
    return "\"" + line + "\"";
}

inline void CompareWithProbeGolden(const std::string& file, const std::string& report) {
    const std::string expected = ReadProbeGolden(file);
    if (report == expected) return;
    std::size_t line = 1;
    for (std::size_t i = 0; i < expected.size() && i < report.size() && expected[i] == report[i];
         ++i) {
        if (expected[i] == '\n') ++line;
    }
    const std::filesystem::path written = std::filesystem::path(DUCTRA_PROBE_GOLDEN_NEW_DIR) / file;
    std::filesystem::create_directories(written.parent_path());
    std::ofstream(written, std::ios::binary)
        << Versioned(report, DUCTRA_PROBE_TEST_VERSION, "<version>");
    ADD_FAILURE() << "tests/golden/probe/" << file << " differs first at line " << line
                  << "\n  expected: " << ShownReportLine(expected, line)
                  << "\n  got:      " << ShownReportLine(report, line) << "\n  the report is in "
                  << written.generic_string();
}
