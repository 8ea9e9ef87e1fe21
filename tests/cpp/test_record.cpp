// Tests of record decoding (object and array forms, wording of failures) and of the configuration, token and envelope records.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/ffi.hpp"
#include "core/http.hpp"
#include "core/json.hpp"
#include "core/record.hpp"
#include "core/token.hpp"

namespace {

struct Pair {
    std::string key;
    std::int64_t count = 0;
};

struct Holder {
    std::string name;
    Pair pair;
    std::vector<Pair> pairs;
};

struct Defaults {
    std::optional<std::string> note;
    std::string mode;
    std::vector<std::int64_t> list;
};

}  // namespace

namespace quorvel_bo::core::json {

template <>
struct Fields<Pair> {
    static constexpr std::string_view name = "Pair";
    static constexpr auto list = std::tuple{field("key", &Pair::key), field("count", &Pair::count)};
};

template <>
struct Fields<Holder> {
    static constexpr std::string_view name = "Holder";
    static constexpr auto list =
        std::tuple{field("name", &Holder::name), field("pair", &Holder::pair), field("pairs", &Holder::pairs)};
};

template <>
struct Fields<Defaults> {
    static constexpr std::string_view name = "Defaults";
    static std::string default_mode() { return "auto"; }
    static constexpr auto list = std::tuple{
        field("note", &Defaults::note),
        field_or("mode", &Defaults::mode, &default_mode),
        field_or_empty("list", &Defaults::list),
    };
};

}  // namespace quorvel_bo::core::json

namespace {

namespace core = quorvel_bo::core;
namespace json = quorvel_bo::core::json;
namespace ffi = quorvel_bo::core::ffi;
using core::Environment;

template <class T>
std::expected<T, std::string> decode(std::string_view text) {
    json::Arena arena;
    return json::decode_text<T>(text, arena);
}

// The failure of decoding `text` as T, or "ok".
template <class T>
std::string failure(std::string_view text) {
    auto decoded = decode<T>(text);
    return decoded ? "ok" : decoded.error();
}

// The same through an already parsed value: no position.
template <class T>
std::string value_failure(std::string_view text) {
    json::Arena arena;
    auto value = json::parse(text, arena);
    if (!value) return "parse failed: " + value.error().message;
    auto decoded = json::decode_value<T>(*value);
    return decoded ? "ok" : decoded.error();
}

struct Case {
    std::string_view text;
    std::string_view expected;
};

TEST(RecordDecode, ObjectAndArrayForms) {
    for (const std::string_view text : {"{\"key\":\"a\",\"count\":3}", "{\"count\":3,\"key\":\"a\"}", "[\"a\",3]",
                                        " [ \"a\" , 3 ] ", "{\"x\":[1,{\"y\":null}],\"key\":\"a\",\"x\":2,\"count\":3}"}) {
        auto pair = decode<Pair>(text);
        ASSERT_TRUE(pair) << text << ": " << pair.error();
        EXPECT_EQ(pair->key, "a") << text;
        EXPECT_EQ(pair->count, 3) << text;
    }
    auto holder = decode<Holder>("{\"name\":\"h\",\"pair\":[\"p\",-1],\"pairs\":[{\"key\":\"q\",\"count\":2},[\"r\",0]]}");
    ASSERT_TRUE(holder) << holder.error();
    EXPECT_EQ(holder->pair.key, "p");
    EXPECT_EQ(holder->pair.count, -1);
    ASSERT_EQ(holder->pairs.size(), 2u);
    EXPECT_EQ(holder->pairs[0].key, "q");
    EXPECT_EQ(holder->pairs[1].key, "r");
}

TEST(RecordDecode, ShapeFailures) {
    const Case cases[] = {
        // the array form must hold exactly one value per field
        {"[\"a\"]", "invalid length 1, expected struct Pair with 2 elements at line 1 column 1"},
        {"[]", "invalid length 0, expected struct Pair with 2 elements at line 1 column 1"},
        {"[\"a\",1,2]", "invalid length 3, expected struct Pair with 2 elements at line 1 column 1"},
        {"[3,\"a\"]", "invalid type: integer `3`, expected a string at line 1 column 2"},
        // the first missing field in declaration order
        {"{}", "missing field `key` at line 1 column 1"},
        {"{\"count\":1}", "missing field `key` at line 1 column 1"},
        {" {\"key\":\"a\"}", "missing field `count` at line 1 column 2"},
        // a listed key given twice, at the repeat
        {"{\"key\":\"a\",\"key\":\"b\",\"count\":1}", "duplicate field `key` at line 1 column 12"},
        {"{\"count\":1,\"key\":\"a\",\n\"count\":1}", "duplicate field `count` at line 2 column 1"},
        // values under ignored keys are read like any other
        {"{\"key\":\"a\",\"count\":1,\"x\":[1,]}", "trailing comma at line 1 column 29"},
        {"{\"x\":\"\\uDE00\",\"key\":\"a\",\"count\":1}", "lone surrogate in hex escape at line 1 column 7"},
        {"{\"x\":01,\"key\":\"a\",\"count\":1}", "invalid number at line 1 column 6"},
        // not a record at all
        {"\"x\"", "invalid type: string \"x\", expected struct Pair at line 1 column 1"},
        {"null", "invalid type: null, expected struct Pair at line 1 column 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure<Pair>(c.text), c.expected) << c.text;

    const Case nested[] = {
        {"{\"name\":\"h\",\"pair\":{\"count\":1},\"pairs\":[]}", "missing field `key` at line 1 column 20"},
        {"{\"name\":\"h\",\"pair\":[\"p\",1],\"pairs\":[[\"q\",1],[\"r\"]]}",
         "invalid length 1, expected struct Pair with 2 elements at line 1 column 45"},
        {"{\"name\":\"h\",\"pair\":[\"p\",1],\"pairs\":{}}", "invalid type: map, expected a sequence at line 1 column 36"},
        {"{\n\"name\": 5}", "invalid type: integer `5`, expected a string at line 2 column 9"},
    };
    for (const Case& c : nested) EXPECT_EQ(failure<Holder>(c.text), c.expected) << c.text;
}

TEST(RecordDecode, InvalidTypeWording) {
    const Case strings[] = {
        {"5", "invalid type: integer `5`, expected a string"},
        {"-0", "invalid type: integer `-0`, expected a string"},
        {"1.5", "invalid type: floating point `1.5`, expected a string"},
        {"1E5", "invalid type: floating point `1E5`, expected a string"},
        {"true", "invalid type: boolean `true`, expected a string"},
        {"false", "invalid type: boolean `false`, expected a string"},
        {"null", "invalid type: null, expected a string"},
        {"[\"x\"]", "invalid type: sequence, expected a string"},
        {"{\"a\":1}", "invalid type: map, expected a string"},
    };
    for (const Case& c : strings) EXPECT_EQ(value_failure<std::string>(c.text), c.expected) << c.text;

    const Case others[] = {
        {"\"x\"", "invalid type: string \"x\", expected a boolean"},
        {"\"a\\\"b\\n\"", "invalid type: string \"a\\\"b\\n\", expected a boolean"},
        {"1", "invalid type: integer `1`, expected a boolean"},
    };
    for (const Case& c : others) EXPECT_EQ(value_failure<bool>(c.text), c.expected) << c.text;
    EXPECT_EQ(value_failure<std::vector<std::string>>("{}"), "invalid type: map, expected a sequence");
    EXPECT_EQ(value_failure<std::vector<std::string>>("[\"a\",2]"), "invalid type: integer `2`, expected a string");
}

TEST(RecordDecode, IntegerRanges) {
    const std::string long_digits(400, '9');
    const struct {
        std::string text;
        std::string i64, u16;
    } cases[] = {
        {"0", "ok", "ok"},
        {"-0", "ok", "ok"},
        {"65535", "ok", "ok"},
        {"65536", "ok", "invalid value: integer `65536`, expected u16"},
        {"70000", "ok", "invalid value: integer `70000`, expected u16"},
        {"-1", "ok", "invalid value: integer `-1`, expected u16"},
        {"9223372036854775807", "ok", "invalid value: integer `9223372036854775807`, expected u16"},
        {"-9223372036854775808", "ok", "invalid value: integer `-9223372036854775808`, expected u16"},
        {"9223372036854775808", "invalid value: integer `9223372036854775808`, expected i64",
         "invalid value: integer `9223372036854775808`, expected u16"},
        {"-9223372036854775809", "invalid value: integer `-9223372036854775809`, expected i64",
         "invalid value: integer `-9223372036854775809`, expected u16"},
        {long_digits, "invalid value: integer `" + long_digits + "`, expected i64",
         "invalid value: integer `" + long_digits + "`, expected u16"},
        {"1.0", "invalid type: floating point `1.0`, expected i64", "invalid type: floating point `1.0`, expected u16"},
        {"1e2", "invalid type: floating point `1e2`, expected i64", "invalid type: floating point `1e2`, expected u16"},
        {"\"5\"", "invalid type: string \"5\", expected i64", "invalid type: string \"5\", expected u16"},
        {"true", "invalid type: boolean `true`, expected i64", "invalid type: boolean `true`, expected u16"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(value_failure<std::int64_t>(c.text), c.i64) << c.text;
        EXPECT_EQ(value_failure<std::uint16_t>(c.text), c.u16) << c.text;
    }
    EXPECT_EQ(decode<std::int64_t>("-9223372036854775808").value_or(0), INT64_MIN);
    EXPECT_EQ(decode<std::int64_t>("9223372036854775807").value_or(0), INT64_MAX);
    EXPECT_EQ(decode<std::uint16_t>("65535").value_or(0), 65535);
}

TEST(RecordDecode, OptionalAndFallbackFields) {
    struct Good {
        std::string_view text;
        std::optional<std::string> note;
        std::string mode;
        std::size_t list_size;
    };
    const Good good[] = {
        {"{}", std::nullopt, "auto", 0},
        {"{\"note\":null}", std::nullopt, "auto", 0},
        {"{\"note\":\"\"}", std::string(), "auto", 0},
        {"{\"note\":\"n\",\"mode\":\"\",\"list\":[1,2]}", std::string("n"), "", 2},
        {"[null,\"m\",[]]", std::nullopt, "m", 0},
    };
    for (const Good& g : good) {
        auto d = decode<Defaults>(g.text);
        ASSERT_TRUE(d) << g.text << ": " << d.error();
        EXPECT_EQ(d->note, g.note) << g.text;
        EXPECT_EQ(d->mode, g.mode) << g.text;
        EXPECT_EQ(d->list.size(), g.list_size) << g.text;
    }
    const Case bad[] = {
        // only a missing key takes the fallback; null is a value of the wrong type
        {"{\"mode\":null}", "invalid type: null, expected a string at line 1 column 9"},
        {"{\"list\":null}", "invalid type: null, expected a sequence at line 1 column 9"},
        {"{\"note\":5}", "invalid type: integer `5`, expected a string at line 1 column 9"},
        {"[null,\"m\"]", "invalid length 2, expected struct Defaults with 3 elements at line 1 column 1"},
    };
    for (const Case& c : bad) EXPECT_EQ(failure<Defaults>(c.text), c.expected) << c.text;
}

TEST(RecordDecode, PositionOnlyFromText) {
    const std::string_view text = "{\"data\": {\"key\": 1, \"count\": 2}}";
    EXPECT_EQ(failure<Pair>(R"({"key": 1, "count": 2})"), "invalid type: integer `1`, expected a string at line 1 column 9");
    json::Arena arena;
    auto body = json::parse(text, arena);
    ASSERT_TRUE(body);
    const json::Value* data = body->find("data");
    ASSERT_NE(data, nullptr);
    auto pair = json::decode_value<Pair>(*data);
    ASSERT_FALSE(pair);
    EXPECT_EQ(pair.error(), "invalid type: integer `1`, expected a string");
    EXPECT_EQ(value_failure<Pair>("{\"key\":\"a\"}"), "missing field `count`");
    EXPECT_EQ(value_failure<Pair>("{\"key\":\"a\",\"key\":\"a\",\"count\":1}"), "duplicate field `key`");
    // Reader failures keep their position too.
    EXPECT_EQ(failure<Pair>("{\"key\":\"a\",\n\"count\":1"), "EOF while parsing an object at line 2 column 10");
}

constexpr std::string_view kUnknownSandbox =
    "unknown variant `Sandbox`, expected one of `development`, `sandbox`, `production`";

TEST(ConfigDecode, Environments) {
    const struct {
        std::string_view text;
        Environment environment;
    } good[] = {
        {"{\"client_id\":\"c\"}", Environment::sandbox},
        {"{\"client_id\":\"c\",\"environment\":\"development\"}", Environment::development},
        {"{\"client_id\":\"c\",\"environment\":\"sandbox\"}", Environment::sandbox},
        {"{\"client_id\":\"c\",\"environment\":\"production\"}", Environment::production},
        {"{\"client_id\":\"c\",\"environment\":{\"production\":null}}", Environment::production},
        {"{\"client_id\":\"c\",\"environment\":{\"development\":null}}", Environment::development},
        {"[\"c\",null,null,\"production\",null]", Environment::production},
    };
    for (const auto& g : good) {
        auto config = decode<core::Config>(g.text);
        ASSERT_TRUE(config) << g.text << ": " << config.error();
        EXPECT_EQ(config->environment, g.environment) << g.text;
        EXPECT_EQ(config->client_id, "c");
        EXPECT_FALSE(config->base_url);
    }

    EXPECT_EQ(failure<core::Config>("{\"client_id\":\"c\",\"environment\":\"Sandbox\"}"),
              std::string(kUnknownSandbox) + " at line 1 column 32");
    EXPECT_EQ(failure<core::Config>("{\"client_id\":\"c\",\"environment\":{\"Sandbox\":null}}"),
              std::string(kUnknownSandbox) + " at line 1 column 32");
    EXPECT_EQ(value_failure<Environment>("\"Sandbox\""), kUnknownSandbox);
    EXPECT_EQ(value_failure<Environment>("\"\""),
              "unknown variant ``, expected one of `development`, `sandbox`, `production`");
    // Only an absent key means the default environment.
    for (const std::string_view bad : {"null", "1", "[\"sandbox\"]", "{\"sandbox\":1}", "{\"sandbox\":null,\"x\":null}"}) {
        const std::string text = "{\"client_id\":\"c\",\"environment\":" + std::string(bad) + "}";
        const std::string message = failure<core::Config>(text);
        EXPECT_TRUE(message.starts_with("invalid type: ")) << text << ": " << message;
        EXPECT_TRUE(message.ends_with(" at line 1 column 32")) << text << ": " << message;
    }
    EXPECT_EQ(failure<core::Config>("{\"environment\":\"sandbox\"}"), "missing field `client_id` at line 1 column 1");
    EXPECT_EQ(failure<core::Config>("[\"c\"]"), "invalid length 1, expected struct Config with 5 elements at line 1 column 1");
    EXPECT_EQ(failure<core::Config>("{\"client_id\":\"c\",\"base_url\":5}"),
              "invalid type: integer `5`, expected a string at line 1 column 29");
}

TEST(ConfigUrl, Joining) {
    const struct {
        std::optional<std::string> base_url;
        std::string_view path;
        std::string_view url;
    } cases[] = {
        {"https://h.example/api///", "//v1/x", "https://h.example/api/v1/x"},
        {"https://h.example/api", "v1/x", "https://h.example/api/v1/x"},
        {"https://h.example/", "", "https://h.example/"},
        {"https://h.example", "/", "https://h.example/"},
        {"", "p", "/p"},
        {"", "", "/"},
        {"///", "//p", "/p"},
        {"https://h.example/ ", " /p", "https://h.example/ / /p"},
        {"https://h.example", "lote/estado/7?a=/b//&c=%2F", "https://h.example/lote/estado/7?a=/b//&c=%2F"},
    };
    for (const auto& c : cases) {
        for (Environment environment : {Environment::development, Environment::production}) {
            core::Config config;
            config.environment = environment;
            config.base_url = c.base_url;
            EXPECT_EQ(config.url(c.path), c.url) << *c.base_url << " + " << c.path;
        }
    }
}

TEST(ConfigUrl, DefaultBaseUrls) {
    const std::string_view dev = core::default_base_url(Environment::development);
    const std::string_view sandbox = core::default_base_url(Environment::sandbox);
    const std::string_view prod = core::default_base_url(Environment::production);
    for (const std::string_view url : {dev, sandbox, prod}) {
        EXPECT_TRUE(url.starts_with("https://")) << url;
        EXPECT_FALSE(url.ends_with("/")) << url;
    }
    const auto host_end = [](std::string_view url) { return url.find('/', 8); };
    ASSERT_NE(host_end(dev), std::string_view::npos);
    ASSERT_NE(host_end(sandbox), std::string_view::npos);
    EXPECT_GT(host_end(dev), 8u);
    EXPECT_EQ(dev.substr(0, host_end(dev)), sandbox.substr(0, host_end(sandbox)));
    EXPECT_EQ(dev.substr(host_end(dev)), "/desarrollo");
    EXPECT_EQ(sandbox.substr(host_end(sandbox)), "/sandbox");
    EXPECT_EQ(host_end(prod), std::string_view::npos);
    EXPECT_GT(prod.size(), 8u);
    EXPECT_NE(prod, dev.substr(0, host_end(dev)));

    auto config = decode<core::Config>("{\"client_id\":\"c\"}");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->url("/payout/x"), std::string(sandbox) + "/payout/x");
    config->environment = Environment::production;
    EXPECT_EQ(config->url("payout/x"), std::string(prod) + "/payout/x");
}

TEST(TokenDecode, Fields) {
    auto token = decode<core::AccessToken>(
        "{\"access_token\":\"t\",\"token_type\":\"Bearer\",\"expires_at\":1700000000,\"scope\":null,\"x\":1}");
    ASSERT_TRUE(token) << token.error();
    EXPECT_EQ(token->access_token, "t");
    EXPECT_EQ(token->token_type, "Bearer");
    EXPECT_EQ(token->expires_at, 1700000000);
    EXPECT_FALSE(token->scope);

    auto scoped = decode<core::AccessToken>("[\"t\",\"Bearer\",-1,\"all\"]");
    ASSERT_TRUE(scoped) << scoped.error();
    EXPECT_EQ(scoped->expires_at, -1);
    EXPECT_EQ(scoped->scope, "all");

    EXPECT_TRUE(decode<core::AccessToken>("{\"access_token\":\"t\",\"token_type\":\"b\",\"expires_at\":0}"));
    const Case bad[] = {
        {"{\"access_token\":\"t\",\"token_type\":\"b\"}", "missing field `expires_at` at line 1 column 1"},
        {"{\"token_type\":\"b\",\"expires_at\":0}", "missing field `access_token` at line 1 column 1"},
        {"{\"access_token\":\"t\",\"expires_at\":0}", "missing field `token_type` at line 1 column 1"},
        {"{\"access_token\":\"t\",\"token_type\":\"b\",\"expires_at\":\"0\"}",
         "invalid type: string \"0\", expected i64 at line 1 column 51"},
        {"{\"access_token\":\"t\",\"token_type\":\"b\",\"expires_at\":1.5}",
         "invalid type: floating point `1.5`, expected i64 at line 1 column 51"},
    };
    for (const Case& c : bad) EXPECT_EQ(failure<core::AccessToken>(c.text), c.expected) << c.text;
}

TEST(HttpResponseDecode, Fields) {
    auto response = decode<core::HttpResponse>("{\"status\":204,\"body\":\"\"}");
    ASSERT_TRUE(response) << response.error();
    EXPECT_EQ(response->status, 204);
    EXPECT_EQ(response->body, "");
    auto pair = decode<core::HttpResponse>("[65535,\"{\\\"a\\\":1}\"]");
    ASSERT_TRUE(pair) << pair.error();
    EXPECT_EQ(pair->status, 65535);
    EXPECT_EQ(pair->body, "{\"a\":1}");

    const Case bad[] = {
        {"{\"status\":70000,\"body\":\"\"}", "invalid value: integer `70000`, expected u16 at line 1 column 11"},
        {"{\"status\":-1,\"body\":\"\"}", "invalid value: integer `-1`, expected u16 at line 1 column 11"},
        {"{\"status\":\"200\",\"body\":\"\"}", "invalid type: string \"200\", expected u16 at line 1 column 11"},
        {"{\"status\":200.0,\"body\":\"\"}", "invalid type: floating point `200.0`, expected u16 at line 1 column 11"},
        {"{\"status\":200,\"body\":{}}", "invalid type: map, expected a string at line 1 column 22"},
        {"{\"status\":200}", "missing field `body` at line 1 column 1"},
        {"{\"status\":200,\"status\":201,\"body\":\"\"}", "duplicate field `status` at line 1 column 15"},
    };
    for (const Case& c : bad) EXPECT_EQ(failure<core::HttpResponse>(c.text), c.expected) << c.text;
}

TEST(EnvelopeDecode, Build) {
    using Envelope = ffi::Build<Pair>;
    for (const std::string_view text :
         {"{\"config\":{\"client_id\":\"c\"},\"token\":null,\"input\":{\"key\":\"a\",\"count\":1}}",
          "{\"input\":[\"a\",1],\"config\":{\"client_id\":\"c\"}}", "[{\"client_id\":\"c\"},null,[\"a\",1]]"}) {
        auto build = decode<Envelope>(text);
        ASSERT_TRUE(build) << text << ": " << build.error();
        EXPECT_FALSE(build->token) << text;
        EXPECT_EQ(build->config.client_id, "c");
        EXPECT_EQ(build->input.key, "a");
    }
    auto with_token = decode<Envelope>(
        "{\"config\":[\"c\",\"s\",null,\"development\",\"https://x\"],"
        "\"token\":{\"access_token\":\"t\",\"token_type\":\"b\",\"expires_at\":5},\"input\":[\"a\",1]}");
    ASSERT_TRUE(with_token) << with_token.error();
    ASSERT_TRUE(with_token->token);
    EXPECT_EQ(with_token->token->access_token, "t");
    EXPECT_EQ(with_token->config.client_secret, "s");
    EXPECT_EQ(with_token->config.url("p"), "https://x/p");

    const Case bad[] = {
        {"{\"config\":{\"client_id\":\"c\"}}", "missing field `input` at line 1 column 1"},
        {"{\"input\":[\"a\",1]}", "missing field `config` at line 1 column 1"},
        {"{\"config\":{\"client_id\":\"c\"},\"token\":{\"access_token\":\"t\",\"token_type\":\"b\"},\"input\":[\"a\",1]}",
         "missing field `expires_at` at line 1 column 37"},
        {"{\"config\":{\"client_id\":\"c\",\"environment\":null},\"input\":[\"a\",1]}",
         "invalid type: null, expected enum Environment at line 1 column 42"},
        {"{\"config\":{\"client_id\":\"c\"},\"input\":[\"a\",1],\"input\":[\"a\",1]}",
         "duplicate field `input` at line 1 column 45"},
        {"[{\"client_id\":\"c\"},[\"a\",1]]", "invalid length 2, expected struct Build with 3 elements at line 1 column 1"},
    };
    for (const Case& c : bad) EXPECT_EQ(failure<Envelope>(c.text), c.expected) << c.text;
}

TEST(EnvelopeDecode, Parse) {
    using Envelope = ffi::Parse<Pair>;
    auto parse = decode<Envelope>("{\"response\":{\"status\":200,\"body\":\"{}\"},\"input\":[\"a\",1]}");
    ASSERT_TRUE(parse) << parse.error();
    EXPECT_EQ(parse->response.status, 200);
    EXPECT_EQ(parse->response.body, "{}");
    EXPECT_TRUE(decode<Envelope>("[[\"a\",1],[500,\"\"]]"));
    EXPECT_EQ(failure<Envelope>("{\"input\":[\"a\",1],\"response\":{\"status\":70000,\"body\":\"\"}}"),
              "invalid value: integer `70000`, expected u16 at line 1 column 39");
    EXPECT_EQ(failure<Envelope>("{\"input\":[\"a\",1]}"), "missing field `response` at line 1 column 1");
}

}  // namespace
