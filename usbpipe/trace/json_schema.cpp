// The schema check: valijson's failures carry their context as "<root>",
// "[operations]", "[1]", "[board]"; the deepest one is named as the file
// spells it, operations[1].board, and a missing or unknown key by its own
// name, operations[1].board too.
#include "usbpipe/trace/json_schema.h"

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>
#include <vector>

namespace ductra {

namespace {

std::string FieldPath(const std::vector<std::string>& context, const char* whole) {
    std::string path;
    for (const std::string& part : context) {
        if (part.size() < 2 || part.front() != '[' || part.back() != ']') continue;
        const std::string inner = part.substr(1, part.size() - 2);
        if (!inner.empty() && inner.find_first_not_of("0123456789") == std::string::npos) {
            path += "[" + inner + "]";
        } else {
            path += (path.empty() ? "" : ".") + inner;
        }
    }
    return path.empty() ? whole : path;
}

// Each schema text parsed once; a program holds one or two.
const valijson::Schema& SchemaOf(const char* schemaText) {
    static std::mutex lock;
    static std::map<const char*, std::unique_ptr<valijson::Schema>> parsed;
    const std::lock_guard<std::mutex> held(lock);
    std::unique_ptr<valijson::Schema>& schema = parsed[schemaText];
    if (!schema) {
        schema = std::make_unique<valijson::Schema>();
        const nlohmann::json document = nlohmann::json::parse(schemaText);
        valijson::SchemaParser parser;
        valijson::adapters::NlohmannJsonAdapter adapter(document);
        parser.populateSchema(adapter, *schema);
    }
    return *schema;
}

// Longer than any field of a scenario, a job or a result needs (a 1018-byte
// payload written as spaced hexadecimal pairs takes 3054): the schema's
// patterns are matched by a regular expression engine that recurses once per
// character, so a longer text is refused before it can exhaust the stack.
constexpr std::size_t MaxText = 4096;

// The path of the first text longer than MaxText, as FieldPath spells it;
// empty when there is none. The walk keeps its own stack: nesting is as deep
// as the file makes it.
std::string TooLongText(const nlohmann::json& document, const char* whole) {
    if (document.is_string()) {
        return document.get_ref<const std::string&>().size() > MaxText ? whole : "";
    }
    struct Level {
        const nlohmann::json* node;
        nlohmann::json::const_iterator next;
    };
    std::vector<Level> levels;
    if (document.is_structured()) levels.push_back({&document, document.begin()});
    while (!levels.empty()) {
        if (levels.back().next == levels.back().node->end()) {
            levels.pop_back();
            continue;
        }
        const nlohmann::json& value = *levels.back().next++;
        if (value.is_structured()) {
            levels.push_back({&value, value.begin()});
            continue;
        }
        if (!value.is_string() || value.get_ref<const std::string&>().size() <= MaxText) continue;
        std::string path;
        for (const Level& level : levels) {
            const auto at = std::prev(level.next);
            if (level.node->is_object()) {
                path += (path.empty() ? "" : ".") + at.key();
            } else {
                path += "[" + std::to_string(at - level.node->begin()) + "]";
            }
        }
        return path;
    }
    return "";
}

}  // namespace

int CheckJsonSchema(const char* schemaText, const nlohmann::json& document, const char* whole,
                    std::string& field, std::string& description) {
    field = TooLongText(document, whole);
    if (!field.empty()) {
        description = "a text of at most " + std::to_string(MaxText) + " bytes";
        return 1;
    }
    const valijson::Schema& schema = SchemaOf(schemaText);
    // Kept for every check of the thread: a validator keeps the schema's
    // patterns compiled, which a new one would compile again each time (most
    // of the time of a large import's checks). A document the schema allows
    // is checked without collecting complaints.
    thread_local valijson::Validator validator;
    valijson::adapters::NlohmannJsonAdapter adapter(document);
    if (validator.validate(schema, adapter, nullptr)) return 0;
    valijson::ValidationResults results;
    validator.validate(schema, adapter, &results);
    const valijson::ValidationResults::Error* deepest = nullptr;
    for (const auto& failure : results) {
        if (deepest == nullptr || failure.context.size() > deepest->context.size()) {
            deepest = &failure;
        }
    }
    field = FieldPath(deepest->context, whole);
    description = deepest->description;
    // A missing or unknown key is reported at the object that holds it;
    // the key itself is the field a reader looks for.
    static const char* const keyed[][2] = {
        {"Missing required property '", "Missing required property."},
        {"Object contains a property that could not be validated using 'properties' or "
         "'additionalProperties' constraints: '",
         "Not a property the schema names."},
    };
    for (const auto& [said, plain] : keyed) {
        const std::size_t quoted = std::strlen(said);
        const std::size_t close = description.rfind('\'');
        if (description.rfind(said, 0) != 0 || close == std::string::npos || close < quoted) {
            continue;
        }
        const std::string key = description.substr(quoted, close - quoted);
        field = field == whole ? key : field + "." + key;
        description = plain;
    }
    if (description == "Failed to any values against subschema in 'contains' constraint.") {
        description = "None of the items is the one the schema requires.";
    }
    // Bounds are printed as doubles ("255.000000"); a whole bound as written.
    const std::size_t point = description.rfind(".000000");
    if (description.rfind("Expected number ", 0) == 0 && point != std::string::npos &&
        point + 7 == description.size()) {
        description.erase(point);
    }
    return 1;
}

}  // namespace ductra
