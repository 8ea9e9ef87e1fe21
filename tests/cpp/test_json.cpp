// Tests of the JSON reader (messages, positions, nesting, exact numbers, offsets), the fast/strict agreement and the writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

namespace {

namespace json = quorvel_bo::core::json;

// "ok", or the reader's message with its position, as record decoding reports it.
std::string outcome(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    if (value) return "ok";
    return json::with_position(value.error().message, text, value.error().offset);
}

// The compact written form of an accepted text, or the failure with its position.
std::string rewrite(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    if (!value) return "error: " + json::with_position(value.error().message, text, value.error().offset);
    return json::to_string(*value);
}

// Everything the DOM keeps, members in document order: kinds, offsets, texts, keys.
void dump(const json::Value& v, std::string& out) {
    out += std::to_string(static_cast<int>(v.kind()));
    out += '@';
    out += std::to_string(v.offset());
    switch (v.kind()) {
        case json::Kind::null: break;
        case json::Kind::boolean: out += v.as_bool() ? "T" : "F"; break;
        case json::Kind::number:
        case json::Kind::string:
            out += '<';
            out += std::to_string(v.text().size());
            out += ':';
            out += v.text();
            out += ">";
            break;
        case json::Kind::array:
            out += "[";
            for (const json::Value& item : v.items()) {
                dump(item, out);
                out += ",";
            }
            out += "]";
            break;
        case json::Kind::object:
            out += "{";
            for (const json::Member& m : v.members()) {
                out += '<';
                out += std::to_string(m.key.size());
                out += ':';
                out += m.key;
                out += ">@" + std::to_string(m.key_offset) + "=";
                dump(m.value, out);
                out += ",";
            }
            out += "}";
            break;
    }
}

std::string dump(const json::Value& v) {
    std::string out;
    dump(v, out);
    return out;
}

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

struct Case {
    std::string text;
    std::string expected;
};

TEST(JsonReader, RejectsMalformedTextsWithMessageAndPosition) {
    const Case cases[] = {
        // empty, blank and truncated texts
        {"", "EOF while parsing a value at line 1 column 1"},
        {" \t\r\n  ", "EOF while parsing a value at line 2 column 3"},
        {"[", "EOF while parsing a value at line 1 column 2"},
        {"[1, 2", "EOF while parsing a list at line 1 column 6"},
        {"{", "EOF while parsing an object at line 1 column 2"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 7"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 5"},
        {"\"abc", "EOF while parsing a string at line 1 column 5"},
        {"[\"a\\", "EOF while parsing a string at line 1 column 5"},
        {"tru", "EOF while parsing a value at line 1 column 4"},
        // text after the value
        {"{} x", "trailing characters at line 1 column 4"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"\"a\"\"b\"", "trailing characters at line 1 column 4"},
        {"[1]]", "trailing characters at line 1 column 4"},
        {"null\n,", "trailing characters at line 2 column 1"},
        {std::string("1\x00", 2), "trailing characters at line 1 column 2"},
        // separators
        {"[1,]", "trailing comma at line 1 column 4"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\"}", "expected `:` at line 1 column 5"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{,}", "key must be a string at line 1 column 2"},
        {"{a:1}", "key must be a string at line 1 column 2"},
        {"[,1]", "expected value at line 1 column 2"},
        {"{\"a\":}", "expected value at line 1 column 6"},
        {"[\"a\":1]", "expected `,` or `]` at line 1 column 5"},
        // literals, NaN and infinities
        {"trux", "expected ident at line 1 column 4"},
        {"[True]", "expected value at line 1 column 2"},
        {"NaN", "expected value at line 1 column 1"},
        {"[Infinity]", "expected value at line 1 column 2"},
        {"-Infinity", "invalid number at line 1 column 1"},
        // numbers
        {"01", "invalid number at line 1 column 1"},
        {"[-01]", "invalid number at line 1 column 2"},
        {"00", "invalid number at line 1 column 1"},
        {"1.", "invalid number at line 1 column 1"},
        {"[1.]", "invalid number at line 1 column 2"},
        {"-", "invalid number at line 1 column 1"},
        {"1e", "invalid number at line 1 column 1"},
        {"1e+", "invalid number at line 1 column 1"},
        {"1.e5", "invalid number at line 1 column 1"},
        {"1.5.3", "invalid number at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"+1", "expected value at line 1 column 1"},
        // escapes
        {"[\"\\x\"]", "invalid escape at line 1 column 4"},
        {"\"\\U0041\"", "invalid escape at line 1 column 3"},
        {"\"\\u12G4\"", "invalid escape at line 1 column 4"},
        {"\"\\u12\"", "invalid escape at line 1 column 6"},
        {"{\"\\a\":1}", "invalid escape at line 1 column 4"},
        // lone surrogates cannot be handed back as text
        {"\"\\uDC00\"", "lone surrogate in hex escape at line 1 column 2"},
        {"\"\\uD800\"", "lone surrogate in hex escape at line 1 column 2"},
        {"[\"a\\ud83d\"]", "lone surrogate in hex escape at line 1 column 4"},
        {"\"\\uD800\\u0041\"", "lone surrogate in hex escape at line 1 column 2"},
        {"[\"\\uD800\\n\", 1]", "lone surrogate in hex escape at line 1 column 3"},
        {"\"\\uDE00\\uD83D\"", "lone surrogate in hex escape at line 1 column 2"},
        {"\"\\uD83D\\uD83D\"", "lone surrogate in hex escape at line 1 column 2"},
        {"{\"\\uDFFF\":1}", "lone surrogate in hex escape at line 1 column 3"},
        // unescaped control characters
        {"\"a\tb\"", "control character found while parsing a string at line 1 column 3"},
        {"\"a\nb\"", "control character found while parsing a string at line 1 column 3"},
        {std::string("[\"\x00\"]", 5), "control character found while parsing a string at line 1 column 3"},
        {"\"\x1f\"", "control character found while parsing a string at line 1 column 2"},
        {"{\"k\x01\":1}", "control character found while parsing a string at line 1 column 4"},
        // invalid UTF-8, with columns counted in characters
        {"\"\xff\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc3\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc0\xaf\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xed\xa0\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xc3\xa9\xe2\x82\xac\x80\"", "invalid UTF-8 at line 1 column 4"},
        {"[1,\n\"\xf0\x9f\x98\x80\", \xfe]", "invalid UTF-8 at line 2 column 6"},
        // positions on later lines count characters from the line start
        {"{\n  \"a\": [1,\n  2,]\n}", "trailing comma at line 3 column 5"},
        {"[\"\xc3\xa9\xe2\x82\xac\",\n \"\xf0\x9f\x98\x80\" x]", "expected `,` or `]` at line 2 column 6"},
        {"[\r\n\"\xc3\xa9\" 1]", "expected `,` or `]` at line 2 column 5"},
    };
    for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
}

TEST(JsonReader, HighSurrogateBeforeAnotherEscapeAtTheEnd) {
    EXPECT_EQ(outcome("\"\\uD800\\n\""), "lone surrogate in hex escape at line 1 column 2");
    EXPECT_EQ(outcome("[\"\\uD800\\n\"]"), "lone surrogate in hex escape at line 1 column 3");
    EXPECT_EQ(outcome("{\"k\":\"\\uD800\\t\"}"), "lone surrogate in hex escape at line 1 column 7");
}

TEST(JsonReader, AcceptsWellFormedTexts) {
    const Case cases[] = {
        {" \t\r\n[ ] \n", "[]"},
        {"{ }", "{}"},
        {"0", "0"},
        {"-0", "-0"},
        {"\"\"", "\"\""},
        {"[true,false,null]", "[true,false,null]"},
        {"{\"a\" : [ 1 , { } ] }", "{\"a\":[1,{}]}"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00E9\\ud83d\\ude00\"",
         "\"\\\"\\\\/\\b\\f\\n\\r\\tA\xc3\xa9\xf0\x9f\x98\x80\""},
        {"\"\\u0000\\u001F\\u007f\"", "\"\\u0000\\u001f\x7f\""},
        {"\"\x7f\xc3\xa9\xef\xbf\xbf\xf4\x8f\xbf\xbf\"", "\"\x7f\xc3\xa9\xef\xbf\xbf\xf4\x8f\xbf\xbf\""},
        {"{\"\\u0061\":1}", "{\"a\":1}"},
    };
    for (const Case& c : cases) EXPECT_EQ(rewrite(c.text), c.expected) << "text: " << c.text;
}

TEST(JsonReader, NestingLimit) {
    const std::string ok_arrays = repeat("[", 128) + repeat("]", 128);
    const std::string deep_arrays = repeat("[", 129) + repeat("]", 129);
    const std::string ok_objects = repeat("{\"a\":", 127) + "[1]" + repeat("}", 127);
    const std::string deep_objects = repeat("{\"a\":", 129) + "1" + repeat("}", 129);
    const std::string mixed = repeat("[{\"k\":", 64) + "0" + repeat("}]", 64);
    const std::string deep_mixed = repeat("[{\"k\":", 64) + "[0]" + repeat("}]", 64);

    EXPECT_EQ(outcome(ok_arrays), "ok");
    EXPECT_EQ(outcome(ok_objects), "ok");
    EXPECT_EQ(outcome(mixed), "ok");
    EXPECT_EQ(outcome(deep_arrays), "recursion limit exceeded at line 1 column 129");
    EXPECT_EQ(outcome(deep_objects), "recursion limit exceeded at line 1 column 641");
    EXPECT_EQ(outcome(deep_mixed), "recursion limit exceeded at line 1 column 385");

    // The depth of 128 is reached by the innermost container and its items are read.
    json::Arena arena;
    auto deepest = json::parse(repeat("[", 128) + "7" + repeat("]", 128), arena);
    ASSERT_TRUE(deepest);
    const json::Value* v = &*deepest;
    for (int i = 1; i < 128; ++i) v = &v->items()[0];
    ASSERT_EQ(v->items().size(), 1u);
    EXPECT_EQ(v->items()[0].text(), "7");

    // Far deeper than any stack allows for naive recursion: refused, never a crash.
    const Case huge_cases[] = {
        {repeat("[", 100000), "recursion limit exceeded at line 1 column 129"},
        {repeat("[", 100000) + repeat("]", 100000), "recursion limit exceeded at line 1 column 129"},
        {repeat("{\"a\":", 100000), "recursion limit exceeded at line 1 column 641"},
    };
    for (const auto& [huge, expected] : huge_cases) {
        EXPECT_EQ(outcome(huge), expected) << huge.substr(0, 10);
        json::Arena a1, a2;
        EXPECT_FALSE(json::detail::parse_fast(huge, a1));
        EXPECT_FALSE(json::detail::parse_strict(huge, a2));
    }
}

TEST(JsonReader, NumbersKeepTheirText) {
    // GCC 12 warns falsely on `"literal" + std::string&&`; append instead.
    std::string long_number = "-";
    long_number += repeat("1234567890", 40);
    long_number += ".5e-400";
    const std::string_view numbers[] = {"12.50", "-0", "1E5", "1e-7", "-1.5E+300", "0.0", "100", "1e0"};
    for (const std::string_view n : numbers) {
        json::Arena arena;
        auto v = json::parse(n, arena);
        ASSERT_TRUE(v) << n;
        EXPECT_TRUE(v->is_number());
        EXPECT_EQ(v->text(), n);
    }
    json::Arena arena;
    auto v = json::parse("[" + long_number + ", " + repeat("9", 400) + "]", arena);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->items()[0].text(), long_number);
    EXPECT_EQ(v->items()[1].text(), repeat("9", 400));
    EXPECT_EQ(rewrite("[12.50, -0, 1E5, 1e-7]"), "[12.50,-0,1E5,1e-7]");
}

TEST(JsonReader, DuplicateKeysKeptInDocumentOrder) {
    json::Arena arena;
    auto v = json::parse("{\"b\":1,\"a\":2,\"b\":3}", arena);
    ASSERT_TRUE(v);
    auto members = v->members();
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].key, "b");
    EXPECT_EQ(members[0].value.text(), "1");
    EXPECT_EQ(members[1].key, "a");
    EXPECT_EQ(members[2].key, "b");
    EXPECT_EQ(members[2].value.text(), "3");
    ASSERT_NE(v->find("b"), nullptr);
    EXPECT_EQ(v->find("b")->text(), "1");
    EXPECT_EQ(v->find("c"), nullptr);
    // Sorting for output keeps repeated keys in their document order.
    EXPECT_EQ(json::to_string(*v), "{\"a\":2,\"b\":1,\"b\":3}");
}

TEST(JsonReader, SourceOffsets) {
    const std::string text = "{\"k\": [true, null, \"x\", -1.5], \"o\": {}}";
    json::Arena arena;
    auto v = json::parse(text, arena);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->offset(), 0u);
    auto members = v->members();
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].key_offset, 1u);
    EXPECT_EQ(members[0].value.offset(), 6u);
    auto items = members[0].value.items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].offset(), 7u);
    EXPECT_EQ(items[1].offset(), 13u);
    EXPECT_EQ(items[2].offset(), 19u);
    EXPECT_EQ(items[3].offset(), 24u);
    EXPECT_EQ(members[1].key_offset, 31u);
    EXPECT_EQ(members[1].value.offset(), 36u);

    for (const std::string_view root : {"  [1]", "  7 ", "\n \"s\""}) {
        json::Arena a;
        auto r = json::parse(root, a);
        ASSERT_TRUE(r) << root;
        EXPECT_EQ(r->offset(), root.find_first_not_of(" \n")) << root;
    }
}

TEST(JsonReader, PositionCountsCharactersPerLine) {
    const std::string text = "a\xc3\xa9\xe2\x82\xac\n\xf0\x9f\x98\x80x\n";
    struct At {
        std::size_t offset, line, column;
    };
    const At cases[] = {{0, 1, 1}, {1, 1, 2}, {3, 1, 3}, {6, 1, 4}, {7, 2, 1},
                        {11, 2, 2}, {12, 2, 3}, {13, 3, 1}, {999, 3, 1}};
    for (const At& c : cases) {
        const auto pos = json::position_of(text, c.offset);
        EXPECT_EQ(pos.line, c.line) << c.offset;
        EXPECT_EQ(pos.column, c.column) << c.offset;
    }
    EXPECT_EQ(json::with_position("boom", text, 11), "boom at line 2 column 2");
}

// Seeds for the mutation corpus: every construct the reader knows, non-ASCII included.
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
    auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
    const std::size_t edits = 1 + pick(2);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t at = pick(text.size());
        switch (pick(4)) {
            case 0: text.insert(at, 1, kInsert[pick(kInsert.size() - 1)]); break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            case 2:
                if (at < text.size()) text.erase(at, 1 + pick(7));
                break;
            case 3: {
                const std::size_t from = pick(text.size());
                const std::string piece = text.substr(from, 1 + pick(11));
                text.insert(at, piece);
                break;
            }
            default:
                if (at < text.size()) text[at] = kInsert[pick(kInsert.size() - 1)];
                break;
        }
    }
    return text;
}

TEST(JsonReader, FastAndStrictReadersAgree) {
    // Shapes that a lenient walk could let through; both readers must refuse them.
    const std::string_view traps[] = {
        "{\"a\":1,\"b\"}", "[1,,2]", "[[]", "{\"a\":[}", "{\"a\":{]}", "[}", "{]", "{\"a\":1}]", "[1]}", "1]",
        "]", ":", "\"a\":1", "[\"a\":1]", "{\"a\":1:2}", "{\"a\":\"b\":1}", "[1:2]", "{\"a\"::1}",
        "{\"a\":1,,\"b\":2}", "{\"a\":1}{", "[] []", "{\"a\":[1,2]]}", "[{\"a\":1]}", "\"x\" 1", "true false",
        "nulll", "[nul]", "{}\"", "[0.1.2]", "[1e5e5]", "{\"\\z\":1}", "[--1]", "\xef\xbb\xbf[1]",
    };
    for (const std::string_view trap : traps) {
        json::Arena a1, a2;
        EXPECT_FALSE(json::detail::parse_fast(trap, a1)) << trap;
        EXPECT_FALSE(json::detail::parse_strict(trap, a2)) << trap;
    }

    for (const std::string_view seed : kSeeds) {
        json::Arena a1, a2;
        auto fast = json::detail::parse_fast(seed, a1);
        auto strict = json::detail::parse_strict(seed, a2);
        ASSERT_TRUE(strict) << seed;
        ASSERT_TRUE(fast) << "the fast reader should take well-formed documents: " << seed;
        EXPECT_EQ(dump(*fast), dump(*strict)) << seed;
    }

    std::mt19937 rng(20240611);
    std::size_t mismatches = 0, strict_accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = mutate(std::string(kSeeds[static_cast<std::size_t>(i) % std::size(kSeeds)]), rng);
        json::Arena a1, a2;
        auto fast = json::detail::parse_fast(text, a1);
        auto strict = json::detail::parse_strict(text, a2);
        if (strict) ++strict_accepted;
        if (!fast) continue;
        if (!strict) {
            ADD_FAILURE() << "fast accepted what strict refuses (" << strict.error().message << "): " << text;
        } else if (dump(*fast) != dump(*strict)) {
            ADD_FAILURE() << "fast and strict read differently: " << text << "\nfast:   " << dump(*fast)
                          << "\nstrict: " << dump(*strict);
        } else {
            continue;
        }
        if (++mismatches >= 10) break;
    }
    EXPECT_EQ(mismatches, 0u);
    // The corpus must exercise acceptance as well as refusal.
    EXPECT_GT(strict_accepted, 1000u);
}

TEST(JsonWriter, EscapesControlCharacters) {
    const std::string_view escaped[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    for (int c = 0; c < 32; ++c) {
        const std::string raw(1, static_cast<char>(c));
        std::string out;
        json::write_string("a" + raw + "b", out);
        EXPECT_EQ(out, "\"a" + std::string(escaped[c]) + "b\"") << c;
        // What the writer escapes, the reader takes back.
        json::Arena arena;
        auto back = json::parse(out, arena);
        ASSERT_TRUE(back) << c;
        EXPECT_EQ(back->text(), "a" + raw + "b") << c;
    }
}

TEST(JsonWriter, WritesOtherCharactersRaw) {
    const Case cases[] = {
        {"\"", "\"\\\"\""},
        {"\\", "\"\\\\\""},
        {"a/b", "\"a/b\""},
        {"\x7f", "\"\x7f\""},
        {" ~", "\" ~\""},
        {"\xc2\x80\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80", "\"\xc2\x80\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\""},
        {"", "\"\""},
        {"q\"\\\n/\x7f", "\"q\\\"\\\\\\n/\x7f\""},
    };
    for (const Case& c : cases) {
        std::string out;
        json::write_string(c.text, out);
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(JsonWriter, SortsKeysByBytes) {
    EXPECT_EQ(rewrite("{\"b\":1,\"a\":2,\"B\":3,\"\xc3\xa9\":4,\"~\":5,\"\":6,\"aa\":7,\"a b\":8}"),
              "{\"\":6,\"B\":3,\"a\":2,\"a b\":8,\"aa\":7,\"b\":1,\"~\":5,\"\xc3\xa9\":4}");
    EXPECT_EQ(rewrite("[{\"z\":{\"y\":1,\"x\":2}},{\"b\":[{\"d\":0,\"c\":0}],\"a\":null}]"),
              "[{\"z\":{\"x\":2,\"y\":1}},{\"a\":null,\"b\":[{\"c\":0,\"d\":0}]}]");
}

TEST(JsonWriter, BuiltValues) {
    const json::Value items[] = {json::Value::number("1.50"), json::Value::number("-0e0"), json::Value::null(),
                                 json::Value::boolean(true), json::Value::string("t\"")};
    const json::Member members[] = {{"z", json::Value::array(items), json::kNoOffset},
                                    {"a", json::Value::boolean(false), json::kNoOffset}};
    EXPECT_EQ(json::to_string(json::Value::object(members)), "{\"a\":false,\"z\":[1.50,-0e0,null,true,\"t\\\"\"]}");
    EXPECT_EQ(json::Value::number("1").offset(), json::kNoOffset);
}

TEST(JsonWriter, RoundTrip) {
    const std::string text =
        "{\n  \"name\": \"Caf\\u00e9 \\\"Sol\\\"\",\n  \"amount\": 12.50,\n  \"rate\": 1E-7,\n"
        "  \"tags\": [\"a/b\", \"\\t\", \"\\ud83d\\ude00\"],\n  \"Nested\": {\"z\": null, \"a\": [true, false, -0]},\n"
        "  \"empty\": {}, \"list\": []\n}\n";
    const std::string expected =
        "{\"Nested\":{\"a\":[true,false,-0],\"z\":null},\"amount\":12.50,\"empty\":{},\"list\":[],"
        "\"name\":\"Caf\xc3\xa9 \\\"Sol\\\"\",\"rate\":1E-7,\"tags\":[\"a/b\",\"\\t\",\"\xf0\x9f\x98\x80\"]}";
    EXPECT_EQ(rewrite(text), expected);
    EXPECT_EQ(rewrite(expected), expected);
}

}  // namespace
