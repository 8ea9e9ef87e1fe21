// Tests of Decimal parsing, normalising, comparison and rendering, and of the amount readers and writers.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/amount.hpp"
#include "core/json.hpp"

namespace {

using quorvel_bo::core::Decimal;
using quorvel_bo::core::ErrorKind;
namespace amount = quorvel_bo::core::amount;
namespace json = quorvel_bo::core::json;

Decimal dec(std::string_view text) {
    auto parsed = Decimal::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(Decimal{});
}

// Expected values computed with Python's decimal module: the text's exact value held with the largest
// scale (at most 28) whose mantissa stays below 2^96.
struct Parsed {
    std::string_view text;
    std::string_view held;
    std::string_view normal;
};

const Parsed kParsed[] = {
    {"0", "0", "0"},
    {"-0", "0", "0"},
    {"0.00", "0.00", "0"},
    {"000123.4500", "123.4500", "123.45"},
    {"12.50", "12.50", "12.5"},
    {"+7", "7", "7"},
    {"-5", "-5", "-5"},
    {"5.", "5", "5"},
    {".5", "0.5", "0.5"},
    {"-.5", "-0.5", "-0.5"},
    {"1.e2", "100", "100"},
    {"1e3", "1000", "1000"},
    {"1e+3", "1000", "1000"},
    {"1.5e-3", "0.0015", "0.0015"},
    {"1.50e1", "15.0", "15"},
    {"-1.23e2", "-123", "-123"},
    {"0e-50", "0.0000000000000000000000000000", "0"},
    {"0e999999999999999999", "0", "0"},
    {"0.0000000000000000000000000000000000000000", "0.0000000000000000000000000000", "0"},
    {"1e-28", "0.0000000000000000000000000001", "0.0000000000000000000000000001"},
    {"10.500000000000000000000000000000", "10.500000000000000000000000000", "10.5"},
    {"79228162514264337593543950335", "79228162514264337593543950335", "79228162514264337593543950335"},
    {"79228162514264337593543950335.000", "79228162514264337593543950335", "79228162514264337593543950335"},
    {"7.92281625142643375935439503350", "7.9228162514264337593543950335", "7.9228162514264337593543950335"},
    {"-79228162514264337593543950335", "-79228162514264337593543950335", "-79228162514264337593543950335"},
    {"7922816251426433759354395033.5", "7922816251426433759354395033.5", "7922816251426433759354395033.5"},
    {"792281625142643375935439503.35e2", "79228162514264337593543950335", "79228162514264337593543950335"},
    {"1234567890123456789012345678.9", "1234567890123456789012345678.9", "1234567890123456789012345678.9"},
    {"1e28", "10000000000000000000000000000", "10000000000000000000000000000"},
};

TEST(Decimal, ParsesExactlyAndRenders) {
    for (const auto& c : kParsed) {
        auto parsed = Decimal::parse(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text << ": " << parsed.error();
        EXPECT_EQ(parsed->to_string(), c.held) << c.text;
        EXPECT_EQ(parsed->normalized().to_string(), c.normal) << c.text;
        EXPECT_EQ(parsed->normalized(), *parsed) << c.text;
    }
}

struct Refused {
    std::string_view text;
    std::string_view reason;
};

const Refused kRefused[] = {
    // Never rounded: money must not change silently.
    {"12345678901234567890123456789.99", "too many digits to hold exactly"},
    {"1000.00000000000000000000000001", "too many digits to hold exactly"},
    {"7.9228162514264337593543950336", "too many digits to hold exactly"},
    {"79228162514264337593543950335.5", "too many digits to hold exactly"},
    {"79228162514264337593543950336", "too large"},
    {"1e29", "too large"},
    {"1e999999999999999999", "too large"},
    {"-1E+999999999999999999999999999999", "too large"},
    {"1e-29", "too many decimal places to hold exactly"},
    {"1e-999999999999999999", "too many decimal places to hold exactly"},
    // Malformed texts share one reason.
    {"", "invalid decimal"},
    {"+", "invalid decimal"},
    {".", "invalid decimal"},
    {"e5", "invalid decimal"},
    {".e5", "invalid decimal"},
    {"1e", "invalid decimal"},
    {"1..2", "invalid decimal"},
    {"1,5", "invalid decimal"},
    {"abc", "invalid decimal"},
    {"1_000", "invalid decimal"},
    {"NaN", "invalid decimal"},
    {"--1", "invalid decimal"},
    {" 1", "invalid decimal"},
    {"0x10", "invalid decimal"},
    {"1e5.0", "invalid decimal"},
    {"\xEF\xBC\x91", "invalid decimal"},  // fullwidth digit one
    {std::string_view("1\0", 2), "invalid decimal"},
};

TEST(Decimal, RefusesWhatItCannotHoldExactly) {
    for (const auto& c : kRefused) {
        auto parsed = Decimal::parse(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.text << " gave " << parsed->to_string();
        EXPECT_EQ(parsed.error(), c.reason) << c.text;
    }
}

TEST(Decimal, LongTextsAreDecidedByTheirValue) {
    const std::string zeros(1 << 20, '0');
    EXPECT_EQ(dec(zeros + "1.5").to_string(), "1.5");
    EXPECT_EQ(dec("1." + zeros).to_string(), "1.0000000000000000000000000000");
    EXPECT_EQ(dec("0." + zeros).to_string(), "0.0000000000000000000000000000");
    EXPECT_EQ(dec("1" + zeros + "e-1048576").to_string(), "1.0000000000000000000000000000");
    EXPECT_EQ(Decimal::parse("0." + zeros + "1").error(), "too many decimal places to hold exactly");
    EXPECT_EQ(Decimal::parse("1" + zeros).error(), "too large");
    EXPECT_EQ(Decimal::parse("1e" + zeros + "99999999999999999999").error(), "too large");
    EXPECT_EQ(Decimal::parse(zeros + "x").error(), "invalid decimal");
}

struct Ordered {
    std::string_view a;
    std::string_view b;
    int expected;
};

// Expected orderings checked with Python's decimal.
const Ordered kOrdered[] = {
    {"10.5", "10.50", 0},
    {"0", "-0.000", 0},
    {"100", "1e2", 0},
    {"1", "0.9999999999999999999999999999", 1},
    {"0.0000000000000000000000000001", "0", 1},
    {"-0.0000000000000000000000000001", "0", -1},
    {"-2", "-10", 1},
    {"-2.5", "2.5", -1},
    {"79228162514264337593543950335", "7.9228162514264337593543950335", 1},
    {"7922816251426433759354395033.5", "7922816251426433759354395034", -1},
    {"12.01", "12.1", -1},
};

TEST(Decimal, ComparesByValue) {
    for (const auto& c : kOrdered) {
        const Decimal a = dec(c.a);
        const Decimal b = dec(c.b);
        EXPECT_EQ(Decimal::compare(a, b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(Decimal::compare(b, a), -c.expected) << c.b << " vs " << c.a;
        EXPECT_EQ(a == b, c.expected == 0) << c.a << " vs " << c.b;
        EXPECT_EQ(a < b, c.expected < 0) << c.a << " vs " << c.b;
    }
}

struct Read {
    std::string_view json;
    std::string_view held;   // empty when refused
    std::string_view error;  // empty when read
};

const Read kRead[] = {
    {"12.50", "12.50", ""},
    {"1e3", "1000", ""},
    {"-0", "0", ""},
    {R"("1e3")", "1000", ""},
    {R"("  7  ")", "7", ""},
    {"\"\\t\\n 7.25\\r\\u000b\\f\"", "7.25", ""},
    {"\"\\u00a0\\u3000\\u2007 8 \\u2029\\u202f\\u205f\\u1680\\u0085\"", "8", ""},
    {R"("10.500000000000000000000000000000")", "10.500000000000000000000000000", ""},
    {"true", "", "expected a number, got true"},
    {"null", "", "expected a number, got null"},
    {"[1]", "", "expected a number, got [1]"},
    {R"({"b":1,"a":"x"})", "", R"(expected a number, got {"a":"x","b":1})"},
    {R"("")", "", "invalid amount ``: invalid decimal"},
    {R"("abc")", "", "invalid amount `abc`: invalid decimal"},
    {R"(" 1,5 ")", "", "invalid amount `1,5`: invalid decimal"},
    {"\"\\u200b1\"", "", "invalid amount `\xE2\x80\x8B" "1`: invalid decimal"},  // zero width space is no space
    {R"("12345678901234567890123456789.99")", "",
     "invalid amount `12345678901234567890123456789.99`: too many digits to hold exactly"},
    {"1e999999999999999999", "", "invalid amount `1e999999999999999999`: too large"},
};

TEST(Amount, FromValue) {
    for (const auto& c : kRead) {
        json::Arena arena;
        auto value = json::parse(c.json, arena);
        ASSERT_TRUE(value.has_value()) << c.json;
        auto read = amount::from_value(*value);
        if (c.error.empty()) {
            ASSERT_TRUE(read.has_value()) << c.json << ": " << read.error();
            EXPECT_EQ(read->to_string(), c.held) << c.json;
        } else {
            ASSERT_FALSE(read.has_value()) << c.json;
            EXPECT_EQ(read.error(), c.error) << c.json;
        }
    }
}

struct Checked {
    std::string_view text;
    std::string_view normal;   // empty when refused
    std::string_view message;  // empty when accepted
};

const Checked kChecked[] = {
    {"12.50", "12.5", ""},
    {"100.00", "100", ""},
    {"0.01", "0.01", ""},
    {"79228162514264337593543950335", "79228162514264337593543950335", ""},
    {"0", "", "must be greater than zero"},
    {"0.00", "", "must be greater than zero"},
    {"-5", "", "must be greater than zero"},
    {"-0.001", "", "must be greater than zero"},
    {"0.001", "", "at most 2 decimal places are allowed"},
    {"10.005", "", "at most 2 decimal places are allowed"},
};

TEST(Amount, Validate) {
    for (const auto& c : kChecked) {
        auto checked = amount::validate("transfers.amount", dec(c.text));
        if (c.message.empty()) {
            ASSERT_TRUE(checked.has_value()) << c.text << ": " << checked.error().message;
            EXPECT_EQ(checked->to_string(), c.normal) << c.text;
        } else {
            ASSERT_FALSE(checked.has_value()) << c.text;
            EXPECT_EQ(checked.error().kind, ErrorKind::validation);
            EXPECT_EQ(checked.error().field, "transfers.amount");
            EXPECT_EQ(checked.error().message, c.message) << c.text;
        }
    }
}

TEST(Amount, WritesNormalisedNumberAndString) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"12.50", "12.5"}, {"100.00", "100"}, {"0.50", "0.5"}, {"1e3", "1000"}, {"-0.00", "0"}, {"-2.10", "-2.1"},
        {"0.0000000000000000000000000001", "0.0000000000000000000000000001"},
    };
    for (const auto& [text, normal] : cases) {
        json::Arena arena;
        auto number = amount::to_json_number(dec(text), arena);
        ASSERT_TRUE(number.has_value()) << text;
        EXPECT_TRUE(number->is_number());
        EXPECT_EQ(json::to_string(*number), normal) << text;
        const json::Value string = amount::serialize(dec(text), arena);
        EXPECT_TRUE(string.is_string());
        std::string quoted(1, '"');
        quoted.append(normal).push_back('"');
        EXPECT_EQ(json::to_string(string), quoted) << text;
    }
}

}  // namespace
