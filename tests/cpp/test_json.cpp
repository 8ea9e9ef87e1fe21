// Tests of the JSON reader (messages, positions, nesting, exact numbers, offsets), the fast/strict agreement,
// the writer, and the generic record decoding behind every envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/amount.hpp"
#include "core/json.hpp"
#include "core/json_reader.hpp"
#include "core/record.hpp"
#include "core/status.hpp"
#include "core/ffi.hpp"
#include "payouts/ops.hpp"

namespace {

struct Sample {
    std::string key;
    std::optional<std::string> note;
    std::string mode;
    std::vector<std::int64_t> list;
};

// A result record whose every field is written straight from it.
struct Line {
    std::string name;
    std::optional<std::string> note;
    std::optional<quorvel_bo::core::Decimal> amount;
    bool paid = false;
};

struct Sheet {
    std::optional<std::string> title;
    quorvel_bo::core::PaymentStatus status = quorvel_bo::core::PaymentStatus::unknown;
    std::vector<Line> lines;
};

}  // namespace

namespace quorvel_bo::core::json {

template <>
struct Fields<Line> {
    static constexpr std::string_view name = "Line";
    static constexpr auto list = std::tuple{field("name", &Line::name), field("note", &Line::note),
                                            field("amount", &Line::amount), field("paid", &Line::paid)};
};

template <>
struct Fields<Sheet> {
    static constexpr std::string_view name = "Sheet";
    static constexpr auto list =
        std::tuple{field("title", &Sheet::title), field("status", &Sheet::status), field("lines", &Sheet::lines)};
};

template <>
struct Fields<Sample> {
    static constexpr std::string_view name = "Sample";
    static std::string default_mode() { return "auto"; }
    static constexpr auto list =
        std::tuple{field("key", &Sample::key), field("note", &Sample::note),
                   field_or("mode", &Sample::mode, &default_mode), field_or_empty("list", &Sample::list)};
};

}  // namespace quorvel_bo::core::json

namespace {

namespace json = quorvel_bo::core::json;

struct Case {
    std::string text;
    std::string expected;
};

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// "ok", or the reader's message with its position.
std::string outcome(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    return value ? "ok" : json::with_position(value.error().message, text, value.error().offset);
}

// The compact written form of an accepted text, or the failure.
std::string rewrite(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    return value ? json::to_string(*value) : "error: " + value.error().message;
}

// Everything the DOM keeps, in document order: kind@offset, texts, keys with their offsets
// (moved by `shift`).
std::string dump(const json::Value& v, std::size_t shift = 0) {
    std::string out = std::to_string(static_cast<int>(v.kind()));
    out.append("@").append(std::to_string(v.offset() + shift));
    if (v.is_bool()) out += v.as_bool() ? "T" : "F";
    if (v.is_number() || v.is_string()) out.append("<").append(v.text()).append(">");
    for (const json::Value& item : v.items()) out.append("[").append(dump(item, shift)).append("]");
    for (const json::Member& m : v.members())
        out.append("{")
            .append(m.key)
            .append("@")
            .append(std::to_string(m.key_offset + shift))
            .append("=")
            .append(dump(m.value, shift))
            .append("}");
    return out;
}

TEST(JsonReader, RejectsMalformedTextsWithMessageAndPosition) {
    const Case cases[] = {
        {"[1, 2", "EOF while parsing a list at line 1 column 6"},
        {"\"abc", "EOF while parsing a string at line 1 column 5"},
        {"[\"a\\", "EOF while parsing a string at line 1 column 5"},
        {"tru", "EOF while parsing a value at line 1 column 4"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"\"a\"\"b\"", "trailing characters at line 1 column 4"},
        {"null\n,", "trailing characters at line 2 column 1"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\"}", "expected `:` at line 1 column 5"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"[,1]", "expected value at line 1 column 2"},
        {"-Infinity", "invalid number at line 1 column 1"},
        {"[-01]", "invalid number at line 1 column 2"},
        {"1.", "invalid number at line 1 column 1"},
        {"1e+", "invalid number at line 1 column 1"},
        {"-", "invalid number at line 1 column 1"},
        {"\"\\U0041\"", "invalid escape at line 1 column 3"},
        {"\"\\u12G4\"", "invalid escape at line 1 column 4"},
        {"\"\\u12\"", "invalid escape at line 1 column 6"},
        // Lone surrogates cannot be handed back as text; reported at the escape that opens the pair.
        {"\"\\uDC00\"", "lone surrogate in hex escape at line 1 column 2"},
        {"[\"a\\ud83d\"]", "lone surrogate in hex escape at line 1 column 4"},
        {"\"\\uD800\\u0041\"", "lone surrogate in hex escape at line 1 column 2"},
        {"\"\\uD83D\\uD83D\"", "lone surrogate in hex escape at line 1 column 2"},
        {"\"\\uD800\\n\"", "lone surrogate in hex escape at line 1 column 2"},
        {"{\"k\":\"\\uD800\\t\"}", "lone surrogate in hex escape at line 1 column 7"},
        {"{\"\\uDFFF\":1}", "lone surrogate in hex escape at line 1 column 3"},
        {std::string("[\"\x00\"]", 5), "control character found while parsing a string at line 1 column 3"},
        {"\"\x1f\"", "control character found while parsing a string at line 1 column 2"},
        // Invalid UTF-8: stray, truncated, overlong, encoded surrogate, above U+10FFFF; columns in characters.
        {"\"\xff\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc3\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc0\xaf\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xed\xa0\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc3\xa9\xe2\x82\xac\x80\"", "invalid UTF-8 at line 1 column 4"},
        {"[1,\n\"\xf0\x9f\x98\x80\", \xfe]", "invalid UTF-8 at line 2 column 6"},
        {"[\r\n\"\xc3\xa9\" 1]", "expected `,` or `]` at line 2 column 5"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
}

TEST(JsonReader, NestingLimit) {
    const std::string deepest = repeat("[", 128) + "7" + repeat("]", 128);
    const Case cases[] = {
        {deepest, "ok"},
        {repeat("[", 129) + repeat("]", 129), "recursion limit exceeded at line 1 column 129"},
        {repeat("{\"a\":", 127) + "[1]" + repeat("}", 127), "ok"},
        {repeat("{\"a\":", 129) + "1" + repeat("}", 129), "recursion limit exceeded at line 1 column 641"},
        {repeat("[{\"k\":", 64) + "0" + repeat("}]", 64), "ok"},
        {repeat("[{\"k\":", 64) + "[0]" + repeat("}]", 64), "recursion limit exceeded at line 1 column 385"},
        {repeat("[", 100000), "recursion limit exceeded at line 1 column 129"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << c.text.substr(0, 12);
    // The innermost container of 128 is read with its item.
    EXPECT_EQ(rewrite(deepest), deepest);
    // Texts above 4 KiB take the simdjson walk, which holds the same limit: 128 levels are read
    // there, and the strict reader names the fault of 129 at the same place.
    const std::string pad(5000, '\n');
    for (Case c : cases) {
        json::Arena arena;
        const bool fast = static_cast<bool>(json::detail::parse_fast(c.text, arena));
        EXPECT_EQ(fast, c.expected == "ok") << c.text.substr(0, 12);
        if (const std::size_t at = c.expected.find("line 1 "); at != std::string::npos)
            c.expected.replace(at, 6, "line 5001");
        EXPECT_EQ(outcome(pad + c.text), c.expected) << c.text.substr(0, 12);
    }
}

TEST(JsonReader, AcceptedTextsRewriteCompactWithSortedKeys) {
    std::string numbers = "[12.50,-0,1E5,1e-7,-";
    numbers.append(repeat("1234567890", 40)).append(".5e-400,").append(repeat("9", 400)).append("]");
    const Case cases[] = {
        {numbers, numbers},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00E9\\ud83d\\ude00\"",
         "\"\\\"\\\\/\\b\\f\\n\\r\\tA\xc3\xa9\xf0\x9f\x98\x80\""},
        {"\"\\u0000\\u001F\\u007f\"", "\"\\u0000\\u001f\x7f\""},
        {"\"\x7f\xc3\xa9\xef\xbf\xbf\xf4\x8f\xbf\xbf\"", "\"\x7f\xc3\xa9\xef\xbf\xbf\xf4\x8f\xbf\xbf\""},
        // Keys sort by bytes; repeated keys keep their document order.
        {"{\"b\":1,\"a\":2,\"B\":3,\"\xc3\xa9\":4,\"~\":5,\"\":6,\"aa\":7,\"a b\":8,\"\\u0062\":9}",
         "{\"\":6,\"B\":3,\"a\":2,\"a b\":8,\"aa\":7,\"b\":1,\"b\":9,\"~\":5,\"\xc3\xa9\":4}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rewrite(c.text), c.expected) << c.text;
        EXPECT_EQ(rewrite(c.expected), c.expected);
    }
}

TEST(JsonReader, OffsetsAndLookup) {
    json::Arena arena;
    auto v = json::parse("{\"k\": [true, null, \"x\", -1.5], \"k\": {}}", arena);
    ASSERT_TRUE(v);
    // Kinds: 0 null, 1 boolean, 2 number, 3 string, 4 array, 5 object.
    EXPECT_EQ(dump(*v), "5@0{k@1=4@6[1@7T][0@13][3@19<x>][2@24<-1.5>]}{k@31=5@36}");
    ASSERT_NE(v->find("k"), nullptr);
    EXPECT_TRUE(v->find("k")->is_array());
    EXPECT_EQ(v->find("x"), nullptr);
}

// "key@offset" of the first member whose key an earlier one has, or "none".
std::string repeated(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    if (!value) return "error: " + value.error().message;
    const json::Member* member = json::first_repeated_key(*value);
    return member == nullptr ? "none" : std::string(member->key) + "@" + std::to_string(member->key_offset);
}

// Objects of `count` keys k0, k1, ... with `extra` members after them.
std::string object_of(std::size_t count, std::string_view extra = "") {
    std::string out = "{";
    for (std::size_t i = 0; i < count; ++i) out += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    out += extra;
    if (out.back() == ',') out.pop_back();
    return out + "}";
}

TEST(JsonReader, FirstRepeatedKey) {
    const std::string many = object_of(40);
    const std::string pad(5000, ' ');
    const Case cases[] = {
        {"{\"code\":\"96\",\"data\":{},\"code\":\"00\"}", "code@23"},
        {"{\"a\":1,\"b\":2,\"b\":3,\"a\":4}", "b@13"},
        // The same key written with an escape is the same key; case and nesting tell keys apart.
        {"{\"code\":1,\"\\u0063ode\":2}", "code@10"},
        {"{\"code\":1,\"Code\":2,\"d\":{\"x\":1,\"x\":2},\"e\":[{\"y\":1,\"y\":1}]}", "none"},
        {"[{\"a\":1,\"a\":2}]", "none"},
        {"{}", "none"},
        {"\"a\"", "none"},
        {"{\"\":1,\"\":2}", "@6"},
        // Past 16 keys the search sorts; the answer is still the first repeat in document order.
        {many, "none"},
        {object_of(40, "\"k39\":0,\"k3\":0,"), "k39@" + std::to_string(many.size())},
        {object_of(40, "\"k3\":0,\"k3\":0,"), "k3@" + std::to_string(many.size())},
        {"{\"z\":0," + many.substr(1, many.size() - 2) + ",\"z\":1}", "z@" + std::to_string(many.size() + 6)},
        // The large-text reader gives the key's offset too.
        {pad + "{\"code\":\"96\",\"code\":\"00\"}", "code@" + std::to_string(pad.size() + 13)},
    };
    for (const Case& c : cases) EXPECT_EQ(repeated(c.text), c.expected) << c.text.substr(0, 60);
}

TEST(JsonReader, PositionCountsCharactersPerLine) {
    const std::string text = "a\xc3\xa9\xe2\x82\xac\n\xf0\x9f\x98\x80x\n";
    const std::size_t cases[][3] = {{3, 1, 3}, {6, 1, 4}, {7, 2, 1}, {11, 2, 2}, {13, 3, 1}, {999, 3, 1}};
    for (const auto& c : cases) {
        const json::Position pos = json::position_of(text, c[0]);
        EXPECT_EQ(pos.line, c[1]) << c[0];
        EXPECT_EQ(pos.column, c[2]) << c[0];
    }
}

const std::string_view kSeeds[] = {
    "{\"client_id\":\"abc\",\"environment\":\"sandbox\",\"n\":[1,-2.5e3,0,true,false,null],"
    "\"s\":\"a\\\"b\\\\c\\u00e9\\ud83d\\ude00\\/\",\"o\":{\"\":{},\"x\":[[]]}}",
    "[{\"a\":1},{\"b\":[2,3]},\"x\",12.50,-0,1E5,1e-7, {\"a\":1,\"a\":2}]",
    "\"just a string\"",
    "  42  ",
    "{\"k\":{\"k\":{\"k\":[1,{\"z\":null}]}},\"t\":true}",
    "[\"\xc3\xa9\", {\"\xe2\x82\xac\": \"\xf0\x9f\x98\x80\", \"e\\u0041\": \"\\n\"}]\n",
    "{\"config\": {\"client_id\": \"c\", \"base_url\": null}, \"token\": null,\n \"input\": [\"a\", 1]}",
};

std::string mutate(std::string text, std::mt19937& rng) {
    static constexpr std::string_view kInsert = "{}[]:,\"\\ \n0123456789-+.eEtrufalsn/xu";
    auto pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound)(rng);
    };
    for (std::size_t e = 0, edits = 1 + pick(2); e < edits; ++e) {
        const std::size_t at = pick(text.size());
        const char c = kInsert[pick(kInsert.size() - 1)];
        const std::size_t from = pick(text.size());
        switch (pick(4)) {
            case 0: text.insert(at, 1, c); break;
            case 1: text.erase(std::min(at, text.size()), 1); break;
            case 2: text.erase(std::min(at, text.size()), 1 + pick(7)); break;
            case 3: text.insert(at, text.substr(from, 1 + pick(11))); break;
            default:
                if (at < text.size()) text[at] = c;
        }
    }
    return text;
}

// The fast reader (simdjson) and the quick one (small texts) may only take what the strict reader
// takes, and must read it the same way.
TEST(JsonReader, FastAndQuickReadersAgreeWithStrict) {
    using Reader = std::expected<json::Value, json::ParseError> (*)(std::string_view, json::Arena&);
    const std::pair<std::string_view, Reader> readers[] = {
        {"fast", &json::detail::parse_fast},
        {"quick", &json::detail::parse_quick},
    };
    const std::string_view traps[] = {
        "{\"a\":1,\"b\"}",
        "[1,,2]",
        "[[]",
        "{\"a\":[}",
        "{\"a\":{]}",
        "[}",
        "{]",
        "{\"a\":1}]",
        "[1]}",
        "1]",
        "]",
        ":",
        "\"a\":1",
        "[\"a\":1]",
        "{\"a\":1:2}",
        "{\"a\":\"b\":1}",
        "[1:2]",
        "{\"a\"::1}",
        "{\"a\":1,,\"b\":2}",
        "{\"a\":1}{",
        "[] []",
        "{\"a\":[1,2]]}",
        "[{\"a\":1]}",
        "\"x\" 1",
        "true false",
        "nulll",
        "[nul]",
        "{}\"",
        "[0.1.2]",
        "[1e5e5]",
        "{\"\\z\":1}",
        "[--1]",
        "\xef\xbb\xbf[1]",
    };
    for (const auto& [name, read] : readers) {
        for (const std::string_view trap : traps) {
            json::Arena a1, a2;
            EXPECT_FALSE(read(trap, a1)) << name << " " << trap;
            EXPECT_FALSE(json::detail::parse_strict(trap, a2)) << trap;
        }
        for (const std::string_view seed : kSeeds) {
            json::Arena a1, a2;
            auto other = read(seed, a1);
            auto strict = json::detail::parse_strict(seed, a2);
            ASSERT_TRUE(strict && other) << name << " " << seed;
            EXPECT_EQ(dump(*other), dump(*strict)) << name << " " << seed;
        }
        std::mt19937 rng(20240611);
        std::size_t mismatches = 0, strict_accepted = 0;
        for (std::size_t i = 0; i < 20000 && mismatches < 10; ++i) {
            const std::string text = mutate(std::string(kSeeds[i % std::size(kSeeds)]), rng);
            json::Arena a1, a2;
            auto other = read(text, a1);
            auto strict = json::detail::parse_strict(text, a2);
            strict_accepted += strict ? 1 : 0;
            if (!other) continue;
            if (!strict) {
                ADD_FAILURE() << name << " accepted what strict refuses (" << strict.error().message << "): " << text;
                ++mismatches;
            } else if (dump(*other) != dump(*strict)) {
                ADD_FAILURE() << "read differently: " << text << "\n"
                              << name << ": " << dump(*other) << "\nstrict: " << dump(*strict);
                ++mismatches;
            }
        }
        EXPECT_GT(strict_accepted, 1000u);  // the corpus exercises acceptance as well as refusal
    }
}

// Small texts are read by the strict parser alone, large ones by simdjson with the strict parser
// behind it: the same text must read the same both ways, faults included. Leading whitespace
// moves a text onto the large path and shifts every offset by its length.
TEST(JsonReader, SmallAndLargeTextPathsAgree) {
    const std::string pad(5000, ' ');
    auto read = [&](std::string_view text, std::size_t shift) {
        json::Arena arena;
        auto value = json::parse(text, arena);
        return value ? dump(*value, shift) : value.error().message + "@" + std::to_string(value.error().offset + shift);
    };
    std::mt19937 rng(7);
    for (std::size_t i = 0; i < 4000; ++i) {
        // Escape-heavy strings exercise the one-pass decoding of small texts.
        std::string seed(kSeeds[i % std::size(kSeeds)]);
        if (i % 2 == 0) seed = "[\"" + repeat("a\\\"b\\u00e9\\n", 1 + i % 9) + "\", " + seed + "]";
        const std::string text = mutate(seed, rng);
        ASSERT_EQ(read(text, pad.size()), read(pad + text, 0)) << text;
    }
}

// Strings dense with escapes (a JSON text carried as a string) decode to the same text on both
// reading paths, checked against the escapes' meaning rather than against each other.
TEST(JsonReader, EscapeDenseStringsDecode) {
    struct Piece {
        std::string_view written, decoded;
    };
    const Piece pieces[] = {{"\\\"", "\""},           {"\\/", "/"},           {"a", "a"},
                            {"xyz: 7, ", "xyz: 7, "}, {"\\\\", "\\"},         {"\\n", "\n"},
                            {"\xc3\xa9", "\xc3\xa9"}, {"\\u00e9", "\xc3\xa9"}};
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; ++round) {
        std::string written, decoded;
        const std::size_t count = rng() % 200;  // up to many 16-byte chunks in a row
        const unsigned mix = 2 + rng() % 7;  // rounds without the rarer escapes keep whole chunks dense
        for (std::size_t k = 0; k < count; ++k) {
            const Piece& piece = pieces[rng() % mix];
            written += piece.written;
            decoded += piece.decoded;
        }
        for (const std::string& text : {"[\"" + written + "\"]", std::string(5000, ' ') + "[\"" + written + "\"]"}) {
            json::Arena arena;
            auto value = json::parse(text, arena);
            ASSERT_TRUE(value) << text;
            ASSERT_EQ(value->items()[0].text(), decoded) << written;
        }
    }
}

// Every escape, written in both its forms, as JSON text and as what it stands for.
struct Escape {
    std::string_view written, decoded;
};
const Escape kEveryEscape[] = {
    {"\\\"", "\""},
    {"\\\\", "\\"},
    {"\\/", "/"},
    {"\\b", "\b"},
    {"\\f", "\f"},
    {"\\n", "\n"},
    {"\\r", "\r"},
    {"\\t", "\t"},
    {"\\u0000", {"\0", 1}},
    {"\\u001F", "\x1f"},
    {"\\u00e9", "\xc3\xa9"},
    {"\\u20AC", "\xe2\x82\xac"},
    {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
};

// `text` padded with trailing spaces to exactly `size` bytes.
std::string sized(std::string text, std::size_t size) {
    text.resize(std::max(text.size(), size), ' ');
    return text;
}

// Texts just under, at and over the size where the reader changes parsers: every escape decodes
// the same in keys and values, through every reader and through each parser on its own.
TEST(JsonReader, EveryEscapeOnBothSidesOfTheParserThreshold) {
    using Reader = std::expected<json::Value, json::ParseError> (*)(std::string_view, json::Arena&);
    const std::pair<std::string_view, Reader> readers[] = {
        {"parse", &json::parse},
        {"parse_view", &json::parse_view},
        {"strict", &json::detail::parse_strict},
        {"fast", &json::detail::parse_fast},
    };
    constexpr std::size_t kAt = json::detail::kSmallText;
    for (const Escape& escape : kEveryEscape) {
        // Alone, and long enough for the 16-byte chunks, at both ends of a chunk.
        const std::string key = "k" + std::string(escape.written) + "!";
        const std::string value = repeat("v", 15) + std::string(escape.written) + repeat("w", 17);
        const std::string decoded_key = "k" + std::string(escape.decoded) + "!";
        const std::string decoded_value = repeat("v", 15) + std::string(escape.decoded) + repeat("w", 17);
        for (const std::size_t size : {kAt - 1, kAt, kAt + 1}) {
            const std::string text = sized("{\"" + key + "\":[\"" + value + "\"]}", size);
            ASSERT_EQ(text.size(), size);
            for (const auto& [name, read] : readers) {
                json::Arena arena;
                auto v = read(text, arena);
                ASSERT_TRUE(v) << name << " " << size << " " << escape.written;
                ASSERT_EQ(v->members().size(), 1u);
                EXPECT_EQ(v->members()[0].key, decoded_key) << name << " " << size << " " << escape.written;
                EXPECT_EQ(v->members()[0].value.items()[0].text(), decoded_value)
                    << name << " " << size << " " << escape.written;
            }
        }
    }
}

// A refused text gets the same message at the same place whichever parser met it first.
TEST(JsonReader, FaultsOnBothSidesOfTheParserThreshold) {
    const Case faults[] = {
        {"[\"ab\\x\"]", "invalid escape at line 1 column 6"},
        {"[\"ab\\u12G4\"]", "invalid escape at line 1 column 7"},
        {"[\"ab\\ud83d\\u0041\"]", "lone surrogate in hex escape at line 1 column 5"},
        {"[\"ab\x01\"]", "control character found while parsing a string at line 1 column 5"},
        {"{\"a\\q\":1}", "invalid escape at line 1 column 5"},
        {"[\"ab\\u12", "EOF while parsing a string at line 1 column 9"},
    };
    constexpr std::size_t kAt = json::detail::kSmallText;
    for (const Case& c : faults) {
        for (const std::size_t size : {kAt - 1, kAt, kAt + 1}) {
            // Leading newlines move the text to its size and the fault to a later line.
            const std::size_t lines = size - c.text.size();
            std::string expected = c.expected;
            expected.replace(expected.find("line 1 "), 6, "line " + std::to_string(lines + 1));
            EXPECT_EQ(outcome(std::string(lines, '\n') + c.text), expected) << size << " " << c.text;
        }
    }
}

// A small call's document is written in one pass into a buffer of a fixed size. One that does not
// fit, or whose string might not (six bytes for each of its bytes, at worst), is written whole
// once sized: never cut short.
TEST(JsonWriter, OnePassDocumentsThatOverflowAreWrittenWhole) {
    for (const std::size_t n : {std::size_t{10}, std::size_t{1000}, std::size_t{1400}, std::size_t{5000}}) {
        for (const char c : {'x', '\x01', '"'}) {
            const std::string text(n, c);
            std::vector<json::Value> items(n, json::Value::string(std::string_view(text).substr(0, 7)));
            const json::Member members[] = {{"list", json::Value::array(items)}, {"text", json::Value::string(text)}};
            const json::Value value = json::Value::object(members);
            std::string written;
            json::write_unsized(
                "{\"v\":", value, "}",
                [](void* context, std::string_view text) { static_cast<std::string*>(context)->assign(text); },
                &written);
            EXPECT_EQ(written, json::to_string("{\"v\":", value, "}")) << n << " " << int(c);
        }
    }
}

TEST(JsonWriter, EscapesControlCharactersOnly) {
    const std::string_view escaped[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    for (int c = 0; c < 32; ++c) {
        std::string raw = "a", expected = "\"a", out;
        raw.append(1, static_cast<char>(c)).append("b");
        expected.append(escaped[c]).append("b\"");
        json::write_string(raw, out);
        EXPECT_EQ(out, expected) << c;
    }
    std::string out;
    json::write_string("q\"\\/\x7f\xc2\x80\xe2\x80\xa8", out);
    EXPECT_EQ(out, "\"q\\\"\\\\/\x7f\xc2\x80\xe2\x80\xa8\"");
    // Every mix of plain bytes, quotes, backslashes and control characters, at every length and
    // alignment the 16-byte chunks meet, against a byte-by-byte escaper.
    std::mt19937 rng(11);
    const char alphabet[] = {'a', 'z', '"', '\\', '\n', '\x01', '/', '\x7f'};
    for (int round = 0; round < 3000; ++round) {
        std::string raw, expected = "\"", written;
        const std::size_t length = rng() % 70;
        const unsigned mix = 2 + rng() % 7;  // how many of the alphabet's letters this round uses
        for (std::size_t i = 0; i < length; ++i) raw += alphabet[rng() % mix];
        for (char c : raw) {
            if (c == '"' || c == '\\')
                expected.append(1, '\\').append(1, c);
            else if (static_cast<unsigned char>(c) < 0x20)
                expected.append(escaped[static_cast<int>(c)]);
            else
                expected += c;
        }
        expected += '"';
        json::write_string(raw, written);
        ASSERT_EQ(written, expected) << raw;
    }
}

template <class T>
std::string failure(std::string_view text) {
    json::Arena arena;
    auto decoded = json::decode_text<T>(text, arena);
    return decoded ? "ok" : decoded.error();
}

TEST(RecordDecode, ObjectAndArrayForms) {
    const Case good[] = {
        {"{\"key\":\"a\"}", "a|-|auto|0"},
        {"{\"list\":[1,2],\"note\":null,\"x\":[{}],\"key\":\"a\",\"mode\":\"\"}", "a|-||2"},
        {"{\"key\":\"a\",\"note\":\"\"}", "a||auto|0"},
        {" [ \"a\" , \"n\" , \"m\" , [ ] ] ", "a|n|m|0"},
    };
    for (const Case& c : good) {
        json::Arena arena;
        auto s = json::decode_text<Sample>(c.text, arena);
        ASSERT_TRUE(s) << c.text << ": " << s.error();
        EXPECT_EQ(s->key + "|" + s->note.value_or("-") + "|" + s->mode + "|" + std::to_string(s->list.size()),
                  c.expected);
    }
    const Case bad[] = {
        {"[\"a\",null,\"m\"]", "invalid length 3, expected struct Sample with 4 elements at line 1 column 1"},
        // One value too many is refused as well: the form holds exactly the record's fields.
        {"[\"a\",null,\"m\",[],null]", "invalid length 5, expected struct Sample with 4 elements at line 1 column 1"},
        {"[]", "invalid length 0, expected struct Sample with 4 elements at line 1 column 1"},
        {"[3,null,\"m\",[]]", "invalid type: integer `3`, expected a string at line 1 column 2"},
        {"{\"note\":\"n\",\"mode\":\"m\"}", "missing field `key` at line 1 column 1"},
        // Only a missing key takes the fallback; null is a value of the wrong type.
        {"{\"key\":\"a\",\"mode\":null}", "invalid type: null, expected a string at line 1 column 19"},
        {"{\"key\":\"a\",\"list\":null}", "invalid type: null, expected a sequence at line 1 column 19"},
        {"{\"key\":\"a\",\n\"list\":[1,\"2\"]}", "invalid type: string, expected i64 at line 2 column 11"},
    };
    for (const Case& c : bad) EXPECT_EQ(failure<Sample>(c.text), c.expected) << c.text;
}

TEST(RecordDecode, ValueWording) {
    const std::string big(400, '9');
    EXPECT_EQ(failure<std::string>("-0"), "invalid type: integer `-0`, expected a string at line 1 column 1");
    EXPECT_EQ(failure<std::string>("1E5"), "invalid type: floating point `1E5`, expected a string at line 1 column 1");
    // A string's text is never repeated: it may be a secret given in the wrong place.
    EXPECT_EQ(failure<bool>("\"a\\\"b\\n\""), "invalid type: string, expected a boolean at line 1 column 1");
    EXPECT_EQ(failure<std::int64_t>(big), "invalid value: integer `" + big + "`, expected i64 at line 1 column 1");
    EXPECT_EQ(failure<std::uint16_t>("1e2"), "invalid type: floating point `1e2`, expected u16 at line 1 column 1");
    EXPECT_EQ(failure<std::uint16_t>("-0"), "ok");
    json::Arena arena;
    EXPECT_EQ(json::decode_text<std::int64_t>("-9223372036854775808", arena).value_or(0), INT64_MIN);
    EXPECT_EQ(json::decode_text<std::int64_t>("9223372036854775807", arena).value_or(0), INT64_MAX);
}

}  // namespace

TEST(CallEntry, EmptyPayloadWithoutStorage) {
    // A C++ caller may hand an empty view with no storage at all.
    EXPECT_EQ(
        quorvel_bo::core::ffi::call(quorvel_bo::payouts::PayoutsOps{}, "batch.authorize.build", std::string_view{}),
        "{\"error\":{\"kind\":\"ffi\",\"message\":\"invalid payload: EOF while parsing a value at line 1 column 1\","
        "\"retryable\":false},\"ok\":false}");
}

// A result kept whole and written from its fields reads exactly as its tree of values does, and
// takes exactly the size it announced: the document is written into a buffer of that size.
TEST(RecordWrite, WrittenFromFieldsAsFromTree) {
    using quorvel_bo::core::Decimal;
    static_assert(json::Writable<Sheet> && !json::Writable<Sample>);
    std::vector<Sheet> sheets(3);
    sheets[1].title = "quote \" backslash \\ control \x01 tab \t and \xc3\xa9";
    sheets[1].status = quorvel_bo::core::PaymentStatus::paid;
    sheets[2].title = "";
    sheets[2].status = quorvel_bo::core::PaymentStatus::rejected;
    for (int i = 0; i < 40; ++i) {
        Line line{std::string(static_cast<std::size_t>(i), static_cast<char>('a' + i % 26)), std::nullopt, std::nullopt,
                  i % 2 == 0};
        if (i % 3 == 0) line.note = std::string(static_cast<std::size_t>(i * 7), '"');
        if (i % 4 != 0) line.amount = *Decimal::parse(std::to_string(i * 1234) + ".500");
        sheets[2].lines.push_back(line);
    }
    for (const Sheet& sheet : sheets) {
        json::Arena arena;
        const std::string tree = json::to_string("{\"value\":", json::encode(sheet, arena), "}");
        Sheet copy = sheet;
        const json::Value written = quorvel_bo::core::ffi::to_value(std::move(copy), arena);
        ASSERT_EQ(written.kind(), json::Kind::written);
        EXPECT_EQ(json::written_size(written), tree.size() - 10);
        EXPECT_EQ(json::to_string("{\"value\":", written, "}"), tree);
    }
}
