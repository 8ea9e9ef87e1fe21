// JSON writer: compact text, object keys in ascending byte order, the system's escaping rules.
#include <algorithm>
#include <vector>

#include "core/json.hpp"

namespace quorvel_bo::core::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";

bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

void write_value(const Value& value, std::string& out, std::vector<const Member*>& scratch) {
    switch (value.kind()) {
        case Kind::null: out += "null"; return;
        case Kind::boolean: out += value.as_bool() ? "true" : "false"; return;
        case Kind::number: out += value.text(); return;
        case Kind::string: write_string(value.text(), out); return;
        case Kind::array: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : value.items()) {
                if (!first) out.push_back(',');
                first = false;
                write_value(item, out, scratch);
            }
            out.push_back(']');
            return;
        }
        case Kind::object: {
            auto members = value.members();
            std::size_t mark = scratch.size();
            for (const Member& m : members) scratch.push_back(&m);
            auto begin = scratch.begin() + static_cast<std::ptrdiff_t>(mark);
            auto by_key = [](const Member* a, const Member* b) { return a->key < b->key; };
            if (!std::is_sorted(begin, scratch.end(), by_key)) std::stable_sort(begin, scratch.end(), by_key);
            out.push_back('{');
            for (std::size_t i = mark; i < scratch.size(); ++i) {
                if (i != mark) out.push_back(',');
                write_string(scratch[i]->key, out);
                out.push_back(':');
                write_value(scratch[i]->value, out, scratch);
            }
            out.push_back('}');
            scratch.resize(mark);
            return;
        }
    }
}

}  // namespace

void write_string(std::string_view text, std::string& out) {
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!needs_escape(c)) continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.data() + run, text.size() - run);
    out.push_back('"');
}

void write(const Value& value, std::string& out) {
    std::vector<const Member*> scratch;
    write_value(value, out, scratch);
}

std::string to_string(const Value& value) {
    std::string out;
    write(value, out);
    return out;
}

}  // namespace quorvel_bo::core::json
