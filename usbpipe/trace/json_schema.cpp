// The schema check: valijson's failures carry their context as "<root>",
// "[operations]", "[1]", "[board]"; the deepest one is named as the file
// spells it, operations[1].board, and a missing or unknown key by its own
// name, operations[1].board too.
#include "usbpipe/trace/json_schema.h"

#include <cstring>
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

}  // namespace

int CheckJsonSchema(const char* schemaText, const nlohmann::json& document, const char* whole,
                    std::string& field, std::string& description) {
    const valijson::Schema& schema = SchemaOf(schemaText);
    valijson::Validator validator;
    valijson::ValidationResults results;
    valijson::adapters::NlohmannJsonAdapter adapter(document);
    if (validator.validate(schema, adapter, &results)) return 0;
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
