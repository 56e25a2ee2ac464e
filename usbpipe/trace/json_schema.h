// A JSON document against its published JSON Schema (valijson over
// nlohmann-json), for the files people write by hand: the virtual
// instrument's scenarios and the station's jobs. The verdict names the field
// the schema refuses, as the file spells it ("devices[0].boards"), so that a
// reader's own checks need not repeat what the schema says. It sits beside
// the trace's code, the one folder both the instrument and the station may
// include; it is never linked into the USB library.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace ductra {

// Checks document against the schema whose text is schemaText (parsed at the
// first call for that text, then kept). 0 when the schema allows it; else 1,
// with the first complaint at the deepest field: its path in `field` (`whole`
// when it is the document itself) and the schema's words in `description`.
int CheckJsonSchema(const char* schemaText, const nlohmann::json& document, const char* whole,
                    std::string& field, std::string& description);

}  // namespace ductra
