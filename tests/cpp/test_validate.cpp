// Tests of the text helpers, ISO dates, the status words the operations do not reach, and the secret check.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/status.hpp"
#include "core/text.hpp"
#include "core/validate.hpp"
#include "core/webhook.hpp"

namespace {

using namespace quorvel_bo::core;

TEST(Text, WhitespaceNeighboursAreNotWhitespace) {
    for (char32_t c : {0x08, 0x0E, 0x84, 0x200B, 0x2027, 0x202A, 0xFEFF, 0x3001}) {
        EXPECT_FALSE(text::is_whitespace(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(Text, TrimTakesOnlyWholeWhitespaceCharacters) {
    const struct {
        std::string_view in, out;
    } cases[] = {
        {"\u2028\u0085 \u00E9\u00A0\u00E9 \u2028", "\u00E9\u00A0\u00E9"},
        {"x\u00E0", "x\u00E0"},  // ends in byte 0xA0, like U+00A0
        {"\xE3\x80", "\xE3\x80"},
        {" \x80 ", "\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::trim(c.in), c.out) << c.in;
    const std::string mixed = "a\u00E9\u20AC\U0001F600z";
    EXPECT_EQ(text::first_chars(mixed, 2), "a\u00E9");
    EXPECT_EQ(text::first_chars(mixed, 4), "a\u00E9\u20AC\U0001F600");
    EXPECT_EQ(text::first_chars(mixed, 99), mixed);
}

TEST(Validate, IsoDateDays) {
    const struct {
        std::string_view text;
        std::int64_t days;
    } good[] = {
        {"1970-01-01", 0},       {"1969-12-31", -1},      {"2024-02-29", 19782},
        {"2000-02-29", 11016},   {"2000-03-01", 11017},   {"1600-02-29", -135081},
        {"0000-03-01", -719468}, {"0000-01-01", -719528}, {"9999-12-31", 2932896},
    };
    for (const auto& c : good) {
        const auto r = iso_date_days("d", c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(*r, c.days) << c.text;
    }
    for (const std::string_view bad : {"1900-02-29", "2023-02-29", "2024-01-00", "2024-01-32", "2024-01-051", "",
                                       " 2024-01-05", "2024-01--1", "2024-0a-01", "2024 01 05"}) {
        const auto r = iso_date_days("birth_date", bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().kind, ErrorKind::validation);
        EXPECT_EQ(r.error().field, "birth_date");
        EXPECT_EQ(r.error().message, "must be a date as yyyy-mm-dd");
    }
}

TEST(PaymentStatus, Payout) {
    const struct {
        std::string_view raw;
        PaymentStatus status;
    } cases[] = {
        {"INICIALIZADO", PaymentStatus::pending},      {"pendiente_confirmacion", PaymentStatus::processing},
        {"\u00A0Aprobada\u3000", PaymentStatus::paid}, {"COMPLETADO", PaymentStatus::paid},
        {"EN PROCESO", PaymentStatus::unknown},        {"PAGADOS", PaymentStatus::unknown},
        {"P\xC1GADO", PaymentStatus::unknown},  // no folding outside ASCII
    };
    for (const auto& c : cases) EXPECT_EQ(Payout::map(c.raw), c.status) << c.raw;
}

TEST(Webhook, VerifySecret) {
    const struct {
        std::string_view presented, expected;
        bool ok;
    } cases[] = {
        {"s3cr3t-value-0001", "s3cr3t-value-0001", true},
        {"s3cr3t-value-0002", "s3cr3t-value-0001", false},
        {"x3cr3t-value-0001", "s3cr3t-value-0001", false},
        {"s3cr3t-value-000", "s3cr3t-value-0001", false},
        {"s3cr3t-value-00011", "s3cr3t-value-0001", false},
        {"", "s3cr3t-value-0001", false},
        {std::string_view("ab\0d", 4), std::string_view("ab\0c", 4), false},
    };
    for (const auto& c : cases) {
        const auto r = verify_secret("`token` query parameter", c.presented, c.expected);
        ASSERT_EQ(r.has_value(), c.ok) << c.presented;
        if (c.ok) continue;
        EXPECT_EQ(r.error().kind, ErrorKind::webhook_auth);
        EXPECT_EQ(r.error().message, "`token` query parameter does not match");
        EXPECT_EQ(r.error().field, "");
    }
    const auto r = verify_secret("`token` query parameter", "", "");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::validation);
    EXPECT_EQ(r.error().field, "value");
    EXPECT_EQ(r.error().message, "expected secret must not be empty");
}

}  // namespace
