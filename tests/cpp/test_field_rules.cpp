// Tests of the payout field rules at their bounds and of the notification URL.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "payouts/validate.hpp"

namespace {

namespace v = quorvel_bo::payouts::validate;
using quorvel_bo::core::ErrorKind;
using quorvel_bo::core::Status;

const std::string kEAcute = "\u00E9";

std::string repeat(std::string_view unit, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += unit;
    return out;
}

// Appends into a fresh string: `"lit" + std::string&&` trips a false -Wrestrict in GCC 12.
std::string cat(std::string_view a, std::string_view b, std::string_view c) {
    std::string out(a);
    out.append(b).append(c);
    return out;
}

// Empty `message` means the rule must pass.
void expect(const Status& r, std::string_view field, std::string_view message, std::string_view value) {
    if (message.empty()) {
        EXPECT_TRUE(r) << "value: " << value << " error: " << r.error().message;
        return;
    }
    ASSERT_FALSE(r) << "value: " << value;
    EXPECT_EQ(r.error().kind, ErrorKind::validation);
    EXPECT_EQ(r.error().field, field);
    EXPECT_EQ(r.error().message, message) << "value: " << value;
}

struct Case {
    std::string value;
    std::string message;
};

TEST(FieldRules, Identifier) {
    const std::string m1 = "1 to 20 letters, digits, `-` or `_`";
    const Case cases[] = {
        {"", m1},
        {"A-1_b", ""},
        {"x", ""},
        {repeat("z", 20), ""},
        {repeat("z", 21), m1},
        {"a b", m1},
        {"caf" + kEAcute, m1},
        {"a.b", m1},
        {" ab", m1},
    };
    for (const auto& c : cases) {
        expect(v::identifier("branch_code", c.value, 1, 20), "branch_code", c.message, c.value);
    }

    // Byte length: 7 accented letters are 14 bytes, above the limit before the characters are looked at.
    const std::string m3 = "3 to 14 letters, digits, `-` or `_`";
    expect(v::identifier("transfers.transaction_id", repeat(kEAcute, 7), 3, 14), "transfers.transaction_id", m3, "");
    expect(v::identifier("transfers.transaction_id", "ab", 3, 14), "transfers.transaction_id", m3, "ab");
    expect(v::identifier("transfers.transaction_id", "abc", 3, 14), "transfers.transaction_id", "", "abc");
}

TEST(FieldRules, Text) {
    const std::string range = "3 to 80 characters";
    const Case cases[] = {
        {"", "must not be empty"},
        {"  ", "must not be empty"},
        {"\u3000\u00A0", "must not be empty"},
        {"  ab  ", range},
        {"abc", ""},
        {"  abc  ", ""},
        {repeat("x", 80), ""},
        {cat(" ", repeat("x", 80), " "), ""},
        {repeat("x", 81), range},
        // Characters, not bytes: 80 two-byte letters are 160 bytes.
        {repeat(kEAcute, 80), ""},
        {repeat(kEAcute, 81), range},
        {repeat("\U0001F600", 3), ""},
        {cat("a", repeat("\u00A0", 78), "b"), ""},
    };
    for (const auto& c : cases) {
        expect(v::text("transfers.description", c.value, 3, 80), "transfers.description", c.message, c.value);
    }
}

TEST(FieldRules, Uuid) {
    const std::string m = "must be a UUID (36 characters)";
    const std::string good = "123e4567-e89b-12d3-a456-426614174000";
    const Case cases[] = {
        {good, ""},
        {"123E4567-E89B-12D3-A456-426614174ABC", ""},
        {"aBcDeF01-2345-6789-abcd-EF0123456789", ""},
        {"123e4567e89b12d3a456426614174000", m},
        {"{" + good + "}", m},
        {good + " ", m},
        {" " + good, m},
        {"123e4567-e89b-12d3-a456-42661417400", m},
        {"123e4567-e89b-12d3-a456-4266141740000", m},
        {"123e4567-e89b-12d3-a456-42661417400-", m},
        {"123e4567-e89b-12d3-a4564-26614174000", m},
        {"123e4567-e89b-12d3-a456-42661417400g", m},
        {"123e4567-e89b-12d3-a456-426614174000-", m},
        {"123e4567--89b-12d3-a456-426614174000", m},
        {"", m},
        {"----", m},
    };
    for (const auto& c : cases) expect(v::uuid("process_id", c.value), "process_id", c.message, c.value);
}

TEST(FieldRules, Digits) {
    const std::string m = "must be 6 to 20 digits";
    const Case cases[] = {
        {"12345", m},     {"123456", ""},         {repeat("9", 20), ""}, {repeat("9", 21), m},
        {"12 345 6", m},  {"+123456", m},         {"-123456", m},        {"1234.56", m},
        {"123456 ", m},   {"", m},                {"12345a", m},         {"\xD9\xA1\xD9\xA2\xD9\xA3", m},
    };
    for (const auto& c : cases) {
        expect(v::digits("source_account", c.value, 6, 20), "source_account", c.message, c.value);
    }
}

TEST(FieldRules, Webhook) {
    const std::string token16 = "aZ09-_.~aZ09-_.~";
    struct WebhookCase {
        std::string url;
        std::string token;
        std::string field;  // empty: passes
        std::string message_or_result;
    };
    const std::string bad_url = "must be an http(s) URL";
    const std::string bad_token = "at least 16 URL-safe characters (letters, digits, - _ . ~)";
    const std::string too_long = "with the token, at most 255 characters";
    const WebhookCase cases[] = {
        {"https://h.example/cb", token16, "", "https://h.example/cb?token=" + token16},
        {"http://h.example/cb", token16, "", "http://h.example/cb?token=" + token16},
        {"http://", token16, "", "http://?token=" + token16},
        {"https://h.example/cb?a=1", token16, "", "https://h.example/cb?a=1&token=" + token16},
        {"ftp://h.example/cb", token16, "webhook_url", bad_url},
        {"HTTPS://h.example/cb", token16, "webhook_url", bad_url},
        {" https://h.example/cb", token16, "webhook_url", bad_url},
        {"http:/", token16, "webhook_url", bad_url},
        {"", token16, "webhook_url", bad_url},
        // The token would land in the fragment, which clients never send.
        {"https://h.example/cb#frag", token16, "webhook_url", bad_url},
        {"https://h.example/cb?a=1#", token16, "webhook_url", bad_url},
        // The URL is checked before the token.
        {"ftp://h.example/cb", "", "webhook_url", bad_url},
        {"https://h.example/cb", token16.substr(1), "webhook_token", bad_token},
        {"https://h.example/cb", "", "webhook_token", bad_token},
        {"https://h.example/cb", "abcdefgh+ijklmnop", "webhook_token", bad_token},
        {"https://h.example/cb", "abcdefgh/ijklmnop", "webhook_token", bad_token},
        {"https://h.example/cb", "abcdefgh ijklmnop", "webhook_token", bad_token},
        {"https://h.example/cb", "abcdefgh" + kEAcute + "ijklmnop", "webhook_token", bad_token},
    };
    for (const auto& c : cases) {
        const auto r = v::webhook(c.url, c.token);
        if (c.field.empty()) {
            ASSERT_TRUE(r) << c.url << " " << r.error().message;
            EXPECT_EQ(*r, c.message_or_result);
        } else {
            ASSERT_FALSE(r) << c.url;
            EXPECT_EQ(r.error().kind, ErrorKind::validation);
            EXPECT_EQ(r.error().field, c.field) << c.url;
            EXPECT_EQ(r.error().message, c.message_or_result) << c.url;
        }
    }

    // Combined length: url + "?" + "token=" + token, at most 255 bytes.
    const std::string token20 = repeat("t", 20);
    const auto url_of = [](std::size_t bytes) { return "https://" + repeat("h", bytes - 8); };
    const auto at_255 = v::webhook(url_of(228), token20);
    ASSERT_TRUE(at_255);
    EXPECT_EQ(at_255->size(), 255u);
    for (const std::size_t bytes : {229u, 230u}) {
        const auto r = v::webhook(url_of(bytes), token20);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().field, "webhook_url");
        EXPECT_EQ(r.error().message, too_long);
    }
    // A long token alone is fine as long as the whole fits.
    EXPECT_TRUE(v::webhook("https://h", repeat("t", 255 - 16)));
    EXPECT_FALSE(v::webhook("https://h", repeat("t", 256 - 16)));
}

}  // namespace
