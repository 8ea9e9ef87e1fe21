// Tests of the text helpers, the shared field checks, the status vocabulary and the secret check.
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

const std::string kNbsp = "\u00A0";
const std::string kIdeoSpace = "\u3000";
const std::string kLineSep = "\u2028";
const std::string kNel = "\u0085";
const std::string kEAcute = "\u00E9";
const std::string kEuro = "\u20AC";
const std::string kEmoji = "\U0001F600";

TEST(Text, WhitespaceProperty) {
    for (char32_t c : {0x09, 0x0A, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                       0x3000}) {
        EXPECT_TRUE(text::is_whitespace(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c : {0x08, 0x0E, 0x1F, 0x41, 0x84, 0x200B, 0x2027, 0x202A, 0xFEFF, 0x3001}) {
        EXPECT_FALSE(text::is_whitespace(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(Text, Trim) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {" \t\na b\r\n", "a b"},
        {kNbsp + "x" + kIdeoSpace, "x"},
        {kLineSep + kNel + " " + kEAcute + kNbsp + kEAcute + " " + kLineSep, kEAcute + kNbsp + kEAcute},
        {kEuro, kEuro},
        {kEmoji + " ", kEmoji},
        // The last byte of U+00E0 is 0xA0 but the character is no whitespace.
        {"x\u00E0", "x\u00E0"},
        // Truncated or stray bytes are kept as ordinary characters.
        {"\xE3\x80", "\xE3\x80"},
        {" \x80 ", "\x80"},
        {"\xC2", "\xC2"},
        {kNbsp + "\xA0", "\xA0"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::trim(c.in), c.out) << c.in;
}

TEST(Text, BlankAndCounting) {
    EXPECT_TRUE(text::is_blank(""));
    EXPECT_TRUE(text::is_blank(" " + kNbsp + kIdeoSpace + kLineSep + "\t"));
    EXPECT_FALSE(text::is_blank(" a "));
    EXPECT_FALSE(text::is_blank(kNbsp + kEAcute));

    EXPECT_EQ(text::char_count(""), 0u);
    EXPECT_EQ(text::char_count("abc"), 3u);
    EXPECT_EQ(text::char_count(kEAcute + kEuro + kEmoji), 3u);

    const std::string mixed = "a" + kEAcute + kEuro + kEmoji + "z";
    EXPECT_EQ(text::first_chars(mixed, 0), "");
    EXPECT_EQ(text::first_chars(mixed, 2), "a" + kEAcute);
    EXPECT_EQ(text::first_chars(mixed, 4), "a" + kEAcute + kEuro + kEmoji);
    EXPECT_EQ(text::first_chars(mixed, 5), mixed);
    EXPECT_EQ(text::first_chars(mixed, 99), mixed);

    EXPECT_EQ(text::ascii_upper("pagado_x1 " + kEAcute), "PAGADO_X1 " + kEAcute);
}

TEST(Validate, RequireText) {
    EXPECT_TRUE(require_text("f", "a"));
    EXPECT_TRUE(require_text("f", " a "));
    for (const std::string& blank : {std::string(), std::string("  "), kNbsp + kIdeoSpace}) {
        const auto r = require_text("qr_text", blank);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::validation);
        EXPECT_EQ(r.error().field, "qr_text");
        EXPECT_EQ(r.error().message, "must not be empty");
    }
}

TEST(Validate, IsoDateDays) {
    struct Case {
        std::string_view text;
        std::int64_t days;
    };
    const Case good[] = {
        {"1970-01-01", 0},       {"1970-01-02", 1},       {"1969-12-31", -1},     {"2024-02-29", 19782},
        {"2000-02-29", 11016},   {"2000-03-01", 11017},   {"1600-02-29", -135081}, {"0000-03-01", -719468},
        {"0000-01-01", -719528}, {"9999-12-31", 2932896},
    };
    for (const auto& c : good) {
        const auto r = iso_date_days("d", c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(*r, c.days) << c.text;
    }
    const std::string_view bad[] = {
        "1900-02-29", "2023-02-29", "2024-04-31", "2024-00-10", "2024-13-01", "2024-01-00", "2024-01-32",
        "2024-1-05",  "2024-01-051", "2024/01/05", "24-01-2024", "",          " 2024-01-05", "2024-01-05 ",
        "+123-01-01", "-123-01-01", "2024-+1-01", "2024-01-+1", "2024-01--1", "2024-0a-01", "2024 01 05",
    };
    for (const auto text : bad) {
        const auto r = iso_date_days("birth_date", text);
        ASSERT_FALSE(r) << text;
        EXPECT_EQ(r.error().kind, ErrorKind::validation);
        EXPECT_EQ(r.error().field, "birth_date");
        EXPECT_EQ(r.error().message, "must be a date as yyyy-mm-dd");
    }
}

TEST(Status, Names) {
    EXPECT_EQ(to_text(PaymentStatus::pending), "pending");
    EXPECT_EQ(to_text(PaymentStatus::cancelled), "cancelled");
    EXPECT_EQ(to_text(PaymentStatus::expired), "expired");
    EXPECT_EQ(to_text(PaymentStatus::unknown), "unknown");
}

TEST(Status, PayoutVocabulary) {
    struct Case {
        std::string raw;
        PaymentStatus status;
    };
    const Case cases[] = {
        {"INICIALIZADO", PaymentStatus::pending},
        {"pendiente_pago", PaymentStatus::pending},
        {"Pendiente", PaymentStatus::pending},
        {"EN_PROCESO", PaymentStatus::processing},
        {"TRANSITO", PaymentStatus::processing},
        {"pendiente_confirmacion", PaymentStatus::processing},
        {"  pagado  ", PaymentStatus::paid},
        {kNbsp + "Aprobada" + kIdeoSpace, PaymentStatus::paid},
        {"COMPLETADO", PaymentStatus::paid},
        {"cancelado", PaymentStatus::cancelled},
        {"Rechazada", PaymentStatus::rejected},
        {"RECHAZADO", PaymentStatus::rejected},
        {"revertido", PaymentStatus::reversed},
        {"error", PaymentStatus::error},
        {"TR\u00C1NSITO", PaymentStatus::unknown},
        {"tr\u00E1nsito", PaymentStatus::unknown},
        {"EXPIRADO", PaymentStatus::unknown},
        {"", PaymentStatus::unknown},
        {"   ", PaymentStatus::unknown},
        {"PAGADO X", PaymentStatus::unknown},
        {"EN PROCESO", PaymentStatus::unknown},
        {"PAGADOS", PaymentStatus::unknown},
        // Bytes that would fold onto letters outside ASCII must not match.
        {"P\xC1GADO", PaymentStatus::unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(Payout::map(c.raw), c.status) << c.raw;
}

TEST(Webhook, VerifySecret) {
    constexpr std::string_view kName = "`token` query parameter";
    struct Case {
        std::string_view presented;
        std::string_view expected;
        bool ok;
    };
    const Case cases[] = {
        {"s3cr3t-value-0001", "s3cr3t-value-0001", true},
        {"s3cr3t-value-0002", "s3cr3t-value-0001", false},
        {"x3cr3t-value-0001", "s3cr3t-value-0001", false},
        {"s3cr3t-value-000", "s3cr3t-value-0001", false},
        {"s3cr3t-value-00011", "s3cr3t-value-0001", false},
        {"", "s3cr3t-value-0001", false},
        {std::string_view("ab\0d", 4), std::string_view("ab\0c", 4), false},
    };
    for (const auto& c : cases) {
        const auto r = verify_secret(kName, c.presented, c.expected);
        ASSERT_EQ(r.has_value(), c.ok) << c.presented;
        if (!c.ok) {
            EXPECT_EQ(r.error().kind, ErrorKind::webhook_auth);
            EXPECT_EQ(r.error().message, "`token` query parameter does not match");
            EXPECT_EQ(r.error().field, "");
        }
    }
    for (const std::string_view presented : {"", "anything"}) {
        const auto r = verify_secret(kName, presented, "");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::validation);
        EXPECT_EQ(r.error().field, "value");
        EXPECT_EQ(r.error().message, "expected secret must not be empty");
    }
}

}  // namespace
