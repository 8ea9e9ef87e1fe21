// Tests of the payout field rules at the edges the operations' own tests leave out.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "payouts/validate.hpp"

namespace {

namespace v = quorvel_bo::payouts::validate;
using quorvel_bo::core::ErrorKind;
using quorvel_bo::core::Result;

// An empty `message` means the rule must pass.
void expect(const Result<void>& r, std::string_view field, std::string_view message, std::string_view value) {
    if (message.empty()) {
        EXPECT_TRUE(r) << value << ": " << r.error().message;
        return;
    }
    ASSERT_FALSE(r) << value;
    EXPECT_EQ(r.error().kind, ErrorKind::validation);
    EXPECT_EQ(r.error().field, field);
    EXPECT_EQ(r.error().message, message) << value;
}

TEST(FieldRules, UuidShape) {
    const std::string_view m = "must be a UUID (36 characters)";
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"aBcDeF01-2345-6789-abcd-EF0123456789", ""},  {"123e4567-e89b-12d3-a456-42661417400", m},
        {"123e4567-e89b-12d3-a456-4266141740000", m},  {"123e4567-e89b-12d3-a456-42661417400-", m},
        {"123e4567-e89b-12d3-a456-426614174000-", m},  {"123e4567-e89b-12d3-a4564-26614174000", m},
        {"123e4567--89b-12d3-a456-426614174000", m},   {"123e4567-e89b-12d3-a456-42661417400g", m},
        {"{123e4567-e89b-12d3-a456-426614174000}", m},
    };
    for (const auto& [value, message] : cases) expect(v::uuid("process_id", value), "process_id", message, value);
}

TEST(FieldRules, DigitsAreAsciiOnly) {
    for (const std::string_view value : {"\xD9\xA1\xD9\xA2\xD9\xA3", "1234.56", "-123456"}) {
        expect(v::digits("source_account", value, 6, 20), "source_account", "must be 6 to 20 digits", value);
    }
}

TEST(FieldRules, Webhook) {
    const std::string token16 = "aZ09-_.~aZ09-_.~";
    const struct {
        std::string url, token, field, message;
    } refused[] = {
        {"http:/", token16, "webhook_url", "must be an http(s) URL"},
        {"HTTPS://h.example/cb", token16, "webhook_url", "must be an http(s) URL"},
        {" https://h.example/cb", token16, "webhook_url", "must be an http(s) URL"},
        // No host to deliver to.
        {"http://", token16, "webhook_url", "must be an http(s) URL"},
        {"https://h.example/cb", "abcdefgh\u00E9ijklmnop", "webhook_token",
         "at least 16 URL-safe characters (letters, digits, - _ . ~)"},
        // Only the whole URL is bounded, not the token on its own.
        {"https://h", std::string(256 - 16, 't'), "webhook_url", "with the token, at most 255 characters"},
    };
    for (const auto& c : refused) {
        const auto r = v::webhook(c.url, c.token);
        ASSERT_FALSE(r) << c.url << " " << c.token;
        EXPECT_EQ(r.error().kind, ErrorKind::validation);
        EXPECT_EQ(r.error().field, c.field) << c.url << " " << c.token;
        EXPECT_EQ(r.error().message, c.message) << c.url << " " << c.token;
    }
    EXPECT_EQ(v::webhook("http://h", token16).value_or(""), "http://h?token=" + token16);
    const auto longest = v::webhook("https://h", std::string(255 - 16, 't'));
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->size(), 255u);
}

}  // namespace
