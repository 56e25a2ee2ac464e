// Checks a JSON document (standard input) against a JSON Schema file and
// prints one line: "as NAME allows", or "not as NAME allows: FIELD: WORDS"
// (exit code 1); the history's golden transcripts carry that line after each
// --json answer.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "usbpipe/trace/json_schema.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: history_json_check SCHEMA < DOCUMENT\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string schema((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    const std::string name = std::string(argv[1]).substr(std::string(argv[1]).rfind('/') + 1);
    if (!file || nlohmann::json::parse(schema, nullptr, false).is_discarded()) {
        std::printf("cannot read %s as JSON\n", name.c_str());
        return 2;
    }
    const nlohmann::json document = nlohmann::json::parse(std::cin, nullptr, false);
    if (document.is_discarded()) {
        std::printf("not JSON\n");
        return 1;
    }
    std::string field, description;
    if (ductra::CheckJsonSchema(schema.c_str(), document, "document", field, description) != 0) {
        std::printf("not as %s allows: %s: %s\n", name.c_str(), field.c_str(), description.c_str());
        return 1;
    }
    std::printf("as %s allows\n", name.c_str());
    return 0;
}
