#pragma once
// A JSON value held in a JavaScript engine (Duktape), read and changed through
// short script texts built from member paths. The full operation set is
// documented beside each member in the implementation.
// (This header is a sketch of the members the harvest relies on; the JSON
// module completes it.)
#include "text/text.h"

namespace lumigrab {

class JsonDocument {
public:
    JsonDocument();
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    bool Parse(std::string_view jsonText);
    int Count(std::string_view path = {});
    Text GetText(std::string_view path, bool asJson = false);
    void Clear();
};

}  // namespace lumigrab
