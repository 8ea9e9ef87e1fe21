// Tests of Decimal parsing at the edges of what it holds (mantissa below 2^96, scale up to 28), comparison,
// and the amount reader.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/amount.hpp"
#include "core/json.hpp"

namespace {

using quorvel_bo::core::Decimal;
namespace amount = quorvel_bo::core::amount;
namespace json = quorvel_bo::core::json;

// Text, the value as held (largest scale up to 28 whose mantissa stays below 2^96), normalised.
// Expected values computed with Python's decimal module.
struct Parsed {
    std::string_view text, held, normal;
};

TEST(Decimal, ParsesExactlyAndRenders) {
    const Parsed cases[] = {
        {"-0", "0", "0"},
        {"-0.00", "0.00", "0"},
        {"-12.50", "-12.50", "-12.5"},
        {"000123.4500", "123.4500", "123.45"},
        // 18 digits are read with 64-bit arithmetic, 19 by the general reader: the same way.
        {"99999999999999999.9", "99999999999999999.9", "99999999999999999.9"},
        {"999999999999999999.9", "999999999999999999.9", "999999999999999999.9"},
        {"9999999999999999999", "9999999999999999999", "9999999999999999999"},
        {"5.", "5", "5"},
        {"-.5", "-0.5", "-0.5"},
        {"1.e2", "100", "100"},
        {"1.50e1", "15.0", "15"},
        {"0e-50", "0.0000000000000000000000000000", "0"},
        {"0e999999999999999999", "0", "0"},
        {"1e-28", "0.0000000000000000000000000001", "0.0000000000000000000000000001"},
        {"1e28", "10000000000000000000000000000", "10000000000000000000000000000"},
        {"10.500000000000000000000000000000", "10.500000000000000000000000000", "10.5"},
        {"-79228162514264337593543950335.000", "-79228162514264337593543950335", "-79228162514264337593543950335"},
        {"7.92281625142643375935439503350", "7.9228162514264337593543950335", "7.9228162514264337593543950335"},
        {"7922816251426433759354395033.5", "7922816251426433759354395033.5", "7922816251426433759354395033.5"},
        {"792281625142643375935439503.35e2", "79228162514264337593543950335", "79228162514264337593543950335"},
    };
    for (const auto& c : cases) {
        auto parsed = Decimal::parse(c.text);
        ASSERT_TRUE(parsed) << c.text << ": " << parsed.error();
        EXPECT_EQ(parsed->to_string(), c.held) << c.text;
        EXPECT_EQ(parsed->normalized().to_string(), c.normal) << c.text;
        EXPECT_EQ(parsed->normalized(), *parsed) << c.text;
    }
}

TEST(Decimal, RefusesRatherThanRounds) {
    const std::string zeros(1 << 20, '0');
    const struct {
        std::string text;
        std::string_view reason;
    } cases[] = {
        {"12345678901234567890123456789.99", "too many digits to hold exactly"},
        {"1000.00000000000000000000000001", "too many digits to hold exactly"},
        {"7.9228162514264337593543950336", "too many digits to hold exactly"},
        {"79228162514264337593543950335.5", "too many digits to hold exactly"},
        {"79228162514264337593543950336", "too large"},
        {"1e29", "too large"},
        {"-1E+999999999999999999999999999999", "too large"},
        {"1" + zeros, "too large"},
        {"1e" + zeros + "99999999999999999999", "too large"},
        {"1e-29", "too many decimal places to hold exactly"},
        {"1e-999999999999999999", "too many decimal places to hold exactly"},
        {"0." + zeros + "1", "too many decimal places to hold exactly"},
        {"", "invalid decimal"},
        {"+", "invalid decimal"},
        {".", "invalid decimal"},
        {".e5", "invalid decimal"},
        {"1e", "invalid decimal"},
        {"1..2", "invalid decimal"},
        {"1,5", "invalid decimal"},
        {"--1", "invalid decimal"},
        {" 1", "invalid decimal"},
        {"NaN", "invalid decimal"},
        {"0x10", "invalid decimal"},
        {"1e5.0", "invalid decimal"},
        {"\xEF\xBC\x91", "invalid decimal"},  // fullwidth digit one
        {std::string("1\0", 2), "invalid decimal"},
    };
    for (const auto& c : cases) {
        auto parsed = Decimal::parse(c.text);
        ASSERT_FALSE(parsed) << c.text.substr(0, 40) << " gave " << parsed->to_string();
        EXPECT_EQ(parsed.error(), c.reason) << c.text.substr(0, 40);
    }
    // Leading and trailing zeros cost nothing, however many there are.
    EXPECT_EQ(Decimal::parse(zeros + "1.5").value_or(Decimal{}).to_string(), "1.5");
    EXPECT_EQ(Decimal::parse("1" + zeros + "e-1048576").value_or(Decimal{}).to_string(),
              "1.0000000000000000000000000000");
}

TEST(Decimal, ComparesByValue) {
    const struct {
        std::string_view a, b;
        int expected;
    } cases[] = {
        {"10.5", "10.50", 0},
        {"0", "-0.000", 0},
        {"100", "1e2", 0},
        {"-2", "-10", 1},
        {"12.01", "12.1", -1},
        {"1", "0.9999999999999999999999999999", 1},
        {"-0.0000000000000000000000000001", "0", -1},
        {"79228162514264337593543950335", "7.9228162514264337593543950335", 1},
    };
    for (const auto& c : cases) {
        const Decimal a = Decimal::parse(c.a).value(), b = Decimal::parse(c.b).value();
        EXPECT_EQ(Decimal::compare(a, b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(Decimal::compare(b, a), -c.expected) << c.b << " vs " << c.a;
        EXPECT_EQ(a < b, c.expected < 0) << c.a << " vs " << c.b;
    }
}

// A JSON number's exact text or a string trimmed of Unicode whitespace; `held` or the failure.
TEST(Amount, FromValue) {
    const struct {
        std::string_view json, outcome;
    } cases[] = {
        {"1e3", "1000"},
        {"\"\\t\\n 7.25\\r\\u000b\\f\"", "7.25"},
        {"\"\\u00a0\\u3000\\u2007 8 \\u2029\\u202f\\u205f\\u1680\\u0085\"", "8"},
        {"\"\\u200b1\"",
         "invalid amount `\xE2\x80\x8B"
         "1`: invalid decimal"},  // zero width space is no space
        {R"("")", "invalid amount ``: invalid decimal"},
        {"1e999999999999999999", "invalid amount `1e999999999999999999`: too large"},
        {R"({"b":1,"a":"x"})", R"(expected a number, got {"a":"x","b":1})"},
    };
    for (const auto& c : cases) {
        json::Arena arena;
        auto value = json::parse(c.json, arena);
        ASSERT_TRUE(value) << c.json;
        auto read = amount::from_value(*value);
        EXPECT_EQ(read ? read->to_string() : read.error(), c.outcome) << c.json;
    }
}

}  // namespace
