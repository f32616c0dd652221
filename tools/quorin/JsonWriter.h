// Builds one JSON value as text, for the tool's --json output.
//
//   JsonWriter j;
//   j.beginObject().key("path").value("HID://SN1").key("pid").value(0x19).endObject();
//   j.str()  ->  {"path":"HID://SN1","pid":25}
//
// Strings are escaped so that the output is valid JSON whatever bytes a
// reader sent: control characters and bytes outside ASCII become \u00XX.
#pragma once

#include <string>
#include <vector>

namespace quorin::cli {

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(const std::string& name);
    JsonWriter& value(const std::string& text);
    JsonWriter& value(const char* text);
    JsonWriter& value(long long number);
    JsonWriter& value(int number) { return value(static_cast<long long>(number)); }
    JsonWriter& value(long number) { return value(static_cast<long long>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<long long>(number)); }
    JsonWriter& value(bool flag);
    JsonWriter& null();
    // A string value, or null when text is empty.
    JsonWriter& valueOrNull(const std::string& text);

    const std::string& str() const { return m_text; }
    static std::string quote(const std::string& text);

private:
    void separate();

    std::string m_text;
    std::vector<bool> m_first;  // per open container: nothing written in it yet
    bool m_afterKey = false;
};

}  // namespace quorin::cli
