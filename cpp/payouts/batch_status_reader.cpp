// Batch status answers read straight into their result document: the body is unescaped once into a
// padded buffer that simdjson walks in place, and each transfer is written as soon as it is read.
// Anything unusual gives up, and the ordinary reader, which explains every refusal, runs instead.
#include "payouts/batch_status_reader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <memory>
#include <simdjson.h>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/amount.hpp"
#include "core/json_reader.hpp"
#include "core/status.hpp"
#include "core/text.hpp"
#include "payouts/model.hpp"
#include "payouts/wire.hpp"

namespace quorvel_bo::payouts::batch {

namespace {

namespace od = simdjson::ondemand;
namespace json = core::json;
namespace detail = core::json::detail;

using Transfer = wire::WTransfer;
using TransferStatus = model::BatchTransferStatus;

constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view kDocumentHead = "{\"ok\":true,\"value\":{\"batch_number\":";
constexpr std::string_view kTransfersHead = ",\"transfers\":[";
constexpr std::string_view kDocumentTail = "]}}";
constexpr std::string_view kSuccessCode = "00";
// More keys than this at the top of a body is unusual enough to leave to the ordinary reader.
constexpr std::size_t kMaxTopKeys = 64;

bool is_ws(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ---------------------------------------------------------------------------------------------
// The payload: {"input": BatchQuery, "response": {"status": ..., "body": "..."}}, scanned by hand,
// the body decoded in the same pass into a buffer with simdjson's padding.

struct Body {
    std::unique_ptr<char[]> buffer;
    std::size_t size = 0;
    std::uint16_t status = 0;
};

class PayloadScan {
public:
    explicit PayloadScan(std::string_view text) : s_(text) {}

    std::optional<Body> run() {
        bool input = false;
        bool response = false;
        const bool ok = object([&](std::string_view key) {
            if (key == "input" && !input) return input = true, this->input();
            if (key == "response" && !response) return response = true, this->response();
            return false;
        });
        skip_ws();
        if (!ok || !input || !response || i_ != s_.size()) return std::nullopt;
        // The body's bytes are checked as UTF-8 where simdjson indexes them; the rest here.
        if (!simdjson::validate_utf8(s_.data(), body_open_) ||
            !simdjson::validate_utf8(s_.data() + body_close_, s_.size() - body_close_))
            return std::nullopt;
        return std::move(body_);
    }

private:
    // An object whose keys need no unescaping; `member(key)` reads each value.
    template <class Member>
    bool object(Member&& member) {
        skip_ws();
        if (!take('{')) return false;
        skip_ws();
        if (take('}')) return true;
        for (;;) {
            skip_ws();
            std::string_view key;
            if (!plain_key(key)) return false;
            skip_ws();
            if (!take(':')) return false;
            skip_ws();
            if (!member(key)) return false;
            skip_ws();
            if (take('}')) return true;
            if (!take(',')) return false;
        }
    }

    bool input() {
        bool branch = false, process = false, batch = false, transaction = false;
        const bool ok = object([&](std::string_view key) {
            bool* seen = key == "branch_code"      ? &branch
                         : key == "process_id"     ? &process
                         : key == "batch_number"   ? &batch
                         : key == "transaction_id" ? &transaction
                                                   : nullptr;
            if (seen == nullptr || *seen) return false;
            *seen = true;
            if ((seen == &batch || seen == &transaction) && literal("null")) return true;
            return string();
        });
        return ok && branch && process;
    }

    bool response() {
        bool status = false, body = false;
        const bool ok = object([&](std::string_view key) {
            if (key == "status" && !status) return status = true, this->status();
            if (key == "body" && !body) return body = true, this->body();
            return false;
        });
        return ok && status && body;
    }

    // A plain integer that fits the status's 16 bits.
    bool status() {
        const std::size_t start = i_;
        std::uint32_t value = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 6)
            value = value * 10 + static_cast<std::uint32_t>(s_[i_++] - '0');
        const std::size_t digits = i_ - start;
        if (digits == 0 || digits > 5 || (digits > 1 && s_[start] == '0') || value > UINT16_MAX) return false;
        body_.status = static_cast<std::uint16_t>(value);
        return true;
    }

    // The body, checked and unescaped in one pass; decoded text is never longer than its escaped form.
    bool body() {
        if (!take('"')) return false;
        body_open_ = i_;
        const std::size_t available = s_.size() - i_;
        body_.buffer.reset(new char[available + 16 + simdjson::SIMDJSON_PADDING]);
        core::memory::prefer_large_pages(body_.buffer.get(), available);
        std::size_t quote = 0;
        char* end = detail::decode_string_to(s_.data() + i_, available, body_.buffer.get(), quote);
        if (end == nullptr) return false;
        body_.size = static_cast<std::size_t>(end - body_.buffer.get());
        std::memset(end, ' ', simdjson::SIMDJSON_PADDING);
        i_ += quote + 1;
        body_close_ = i_ - 1;
        return true;
    }

    bool string() {
        if (!take('"')) return false;
        const std::size_t length = detail::checked_string_length(s_.data() + i_, s_.size() - i_);
        if (length == npos) return false;
        i_ += length + 1;
        return true;
    }

    bool plain_key(std::string_view& key) {
        if (!take('"')) return false;
        const std::size_t start = i_;
        for (; i_ < s_.size(); ++i_) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                key = s_.substr(start, i_++ - start);
                return true;
            }
            if (c == '\\' || c < 0x20) return false;
        }
        return false;
    }

    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool take(char c) noexcept {
        if (i_ >= s_.size() || s_[i_] != c) return false;
        ++i_;
        return true;
    }
    void skip_ws() noexcept {
        while (i_ < s_.size() && is_ws(s_[i_])) ++i_;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::size_t body_open_ = 0;   // first byte of the body's escaped text
    std::size_t body_close_ = 0;  // its closing quote
    Body body_;
};

// ---------------------------------------------------------------------------------------------
// How each field of a provider transfer is read, derived from its one statement of its fields.

enum class Mode : std::uint8_t { opt_text, string, optional_string, optional_amount };

template <class C>
consteval Mode mode_of() {
    if constexpr (std::is_same_v<C, wire::OptText>)
        return Mode::opt_text;
    else if constexpr (std::is_same_v<C, json::Codec<std::string_view>>)
        return Mode::string;
    else if constexpr (std::is_same_v<C, json::Codec<std::optional<std::string_view>>>)
        return Mode::optional_string;
    else {
        static_assert(std::is_same_v<C, json::Codec<std::optional<core::Decimal>>>, "a reading mode to add here");
        return Mode::optional_amount;
    }
}

template <class R>
constexpr auto kModes = []<std::size_t... I>(std::index_sequence<I...>) {
    using List = std::remove_cvref_t<decltype(json::Fields<R>::list)>;
    return std::array<Mode, sizeof...(I)>{mode_of<typename std::tuple_element_t<I, List>::codec>()...};
}(std::make_index_sequence<json::layout::field_count<R>()>{});

constexpr std::size_t kTransferFields = json::layout::field_count<Transfer>();
constexpr std::size_t kStatusFields = json::layout::field_count<TransferStatus>();
static_assert(kTransferFields == 16 && kStatusFields == 16);

// A field's value as read: absent, or its text (a string's decoded text or a number's text).
struct Slot {
    std::string_view text;
    bool present = false;
    bool number = false;
};

// The provider field behind each field of the result, by declaration index (see from_wire).
constexpr std::array<std::size_t, kStatusFields> kSourceOf = {1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::size_t kStatusIndex = 2;
constexpr std::size_t kRawStatusIndex = 3;
constexpr std::size_t kAmountIndex = 14;
constexpr std::size_t kEstado = 3;
static_assert(json::layout::keys<Transfer>[kEstado] == "estado");
static_assert(json::layout::keys<TransferStatus>[kStatusIndex] == "status" &&
              json::layout::keys<TransferStatus>[kRawStatusIndex] == "raw_status" &&
              json::layout::keys<TransferStatus>[kAmountIndex] == "amount");

// Room for the longest amount text (a sign, 29 digits, a point and a leading zero, in quotes) and
// for the longest status name in quotes.
constexpr std::size_t kAmountMax = 40;
constexpr std::size_t kStatusMax = 16;

// An amount's normalised text; empty for none.
struct Amount {
    std::array<char, kAmountMax> text{};
    std::size_t size = 0;
};

// A key and its closing quote, compared with the bytes of a padded buffer 16 at a time.
struct KeyPattern {
    std::array<char, 32> bytes{};
    std::size_t size = 0;  // the key's length and its quote

    constexpr explicit KeyPattern(std::string_view key) : size(key.size() + 1) {
        for (std::size_t i = 0; i < key.size(); ++i) bytes[i] = key[i];
        bytes[key.size()] = '"';
    }
    // True when `at` holds the key's bytes followed by its quote: as a key needs no escaping,
    // that is the whole key. The buffer's padding allows reading 32 bytes.
    bool matches(const char* at) const noexcept {
#if defined(__SSE2__)
        const auto equal = [&](std::size_t from) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + from));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + from));
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
        };
        const unsigned first = size >= 16 ? 0xFFFFu : (1u << size) - 1;
        if ((equal(0) & first) != first) return false;
        if (size <= 16) return true;
        const unsigned second = (1u << (size - 16)) - 1;
        return (equal(16) & second) == second;
#else
        return std::memcmp(at, bytes.data(), size) == 0;
#endif
    }
};

constexpr auto kKeyPatterns = []<std::size_t... I>(std::index_sequence<I...>) {
    static_assert(((json::layout::keys<Transfer>[I].size() < 32) && ...));
    return std::array<KeyPattern, sizeof...(I)>{KeyPattern(json::layout::keys<Transfer>[I])...};
}(std::make_index_sequence<kTransferFields>{});

// ---------------------------------------------------------------------------------------------
// The body's walk: every value the answer does not use is still checked as the fast reader checks
// it; every refusal gives up.

class AnswerWalk {
public:
    AnswerWalk(const char* base, std::size_t size, std::string& out)
        : base_(base), size_(size), out_(out), scratch_(new char[size + 16 + simdjson::SIMDJSON_PADDING]) {}

    bool root(od::document& doc) {
        od::json_type type;
        if (doc.type().get(type) || type != od::json_type::object) return false;
        od::object root;
        if (doc.get_object().get(root)) return false;
        std::array<std::string_view, kMaxTopKeys> keys;
        std::size_t key_count = 0;
        bool data = false;
        bool code_failed = false;
        for (auto member : root) {
            // Viewed where the iterator made it: a copy costs a stall on every field.
            if (member.error()) return false;
            od::field&& f = std::move(member).value_unsafe();
            std::string_view key;
            if (!plain_key(f, key) || key_count == kMaxTopKeys) return false;
            // A repeated top-level key makes the body unreadable.
            if (std::find(keys.begin(), keys.begin() + key_count, key) != keys.begin() + key_count) return false;
            keys[key_count++] = key;
            if (key == "data") {
                od::object obj;
                if (!object_of(f.value(), obj) || !read_data(obj)) return false;
                data = true;
            } else if (key == "code") {
                Slot code;
                if (!read_value(f.value(), 1, Mode::opt_text, code, false)) return false;
                code_failed = code.present && !code.number && code.text != kSuccessCode;
            } else if (!check_value(f.value(), 1)) {
                return false;
            }
        }
        const char* rest = nullptr;
        return data && !code_failed && doc.current_location().get(rest) == simdjson::OUT_OF_BOUNDS;
    }

private:
    // {"nroLote": ..., "transacciones": [...]}; the document's head is written when the transfers
    // start, or at the end when there are none.
    bool read_data(od::object& obj) {
        Slot batch;
        bool batch_seen = false;
        bool transfers_seen = false;
        for (auto member : obj) {
            if (member.error()) return false;
            od::field&& f = std::move(member).value_unsafe();
            std::string_view key;
            if (!plain_key(f, key)) return false;
            if (key == "nroLote") {
                if (batch_seen) return false;
                batch_seen = true;
                if (!read_value(f.value(), 2, Mode::opt_text, batch, true)) return false;
                // Written as null before the transfers: it must still say nothing.
                if (transfers_seen && batch.present && !trimmed_text(batch.text).empty()) return false;
            } else if (key == "transacciones") {
                if (transfers_seen) return false;
                transfers_seen = true;
                write_head(batch_seen ? batch : Slot{});
                od::array list;
                od::json_type type;
                if (f.value().type().get(type) || type != od::json_type::array) return false;
                if (f.value().get_array().get(list) || !read_transfers(list)) return false;
            } else if (!check_value(f.value(), 2)) {
                return false;
            }
        }
        if (!transfers_seen) write_head(batch);
        append(kDocumentTail);
        return true;
    }

    bool read_transfers(od::array& list) {
        bool first = true;
        for (auto element : list) {
            od::value v;
            od::object obj;
            if (element.get(v) || !object_of(v, obj)) return false;
            std::array<Slot, kTransferFields> slots{};
            Amount amount;
            if (!read_transfer(obj, slots) || !read_amount(slots[kSourceOf[kAmountIndex]], amount)) return false;
            write_transfer(slots, amount, first);
            first = false;
        }
        return true;
    }

    bool read_transfer(od::object& obj, std::array<Slot, kTransferFields>& slots) {
        scratch_at_ = 0;
        std::array<bool, kTransferFields> seen{};
        std::size_t hint = 0;
        for (auto member : obj) {
            if (member.error()) return false;
            od::field&& f = std::move(member).value_unsafe();
            const std::size_t index = transfer_field(f, hint);
            if (index == npos) return false;
            if (index == kTransferFields) {
                if (!check_value(f.value(), 4)) return false;
                continue;
            }
            if (seen[index]) return false;
            seen[index] = true;
            hint = index + 1 == kTransferFields ? 0 : index + 1;
            if (!read_value(f.value(), 4, kModes<Transfer>[index], slots[index], true)) return false;
        }
        return seen[kEstado];
    }

    // The amount's normalised text as the amount decoder and writer make it, into `out`; false
    // where the decoder refuses it. Plain amounts of money are cut short: an integer part without
    // a leading zero and at most 18 digits, and at most 10 fractional digits, fit the decimal type
    // whatever they are, and normalising them only drops trailing fractional zeros.
    static bool read_amount(const Slot& slot, Amount& out) {
        out.size = 0;
        if (!slot.present) return true;
        const std::string_view text = slot.text;
        std::size_t i = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        const std::size_t whole = i;
        std::size_t last = i;  // end of the text to keep
        if (i < text.size() && text[i] == '.') {
            ++i;
            const std::size_t fraction = i;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                if (text[i] != '0') last = i + 1;
                ++i;
            }
            if (i == fraction || i - fraction > 10) last = npos;
        }
        if (last != npos && i == text.size() && whole >= 1 && whole <= 18 && (text[0] != '0' || whole == 1)) {
            std::memcpy(out.text.data(), text.data(), last);
            out.size = last;
            return true;
        }
        auto parsed = core::amount::from_value(slot.number ? json::Value::number(text) : json::Value::string(text));
        if (!parsed) return false;
        const std::string normal = parsed->normalized().to_string();
        if (normal.size() > out.text.size()) return false;
        std::memcpy(out.text.data(), normal.data(), normal.size());
        out.size = normal.size();
        return true;
    }

    // The index of a transfer's field: the one after the last found is tried first, by its bytes
    // alone (its key needs no escaping, so bytes followed by a quote are the whole key); npos for
    // a key with an escape.
    std::size_t transfer_field(od::field& f, std::size_t hint) {
        const char* body = f.key().raw();
        if (kKeyPatterns[hint].matches(body)) return hint;
        std::string_view key;
        if (!plain_key(f, key)) return npos;
        return json::layout::field_index<Transfer>(key, hint);
    }

    // Reads a value in `mode` into `slot`; `keep` keeps a decoded string's bytes until the
    // transfer is written. False where decoding would fail.
    bool read_value(od::value& v, int depth, Mode mode, Slot& slot, bool keep) {
        od::json_type type;
        if (v.type().get(type)) return false;
        std::string_view token = v.raw_json_token();
        switch (type) {
            case od::json_type::string: {
                od::raw_json_string raw;
                if (v.get_raw_json_string().get(raw)) return false;
                if (!string_text(token, slot.text, keep)) return false;
                slot.present = true;
                return true;
            }
            case od::json_type::number:
                if (mode != Mode::opt_text && mode != Mode::optional_amount) return false;
                if (!number_text(token, slot.text)) return false;
                slot.present = slot.number = true;
                return true;
            case od::json_type::null: return mode != Mode::string && trimmed(token) == "null";
            case od::json_type::boolean: {
                const std::string_view word = trimmed(token);
                return mode == Mode::opt_text && (word == "true" || word == "false");
            }
            case od::json_type::array:
            case od::json_type::object: return mode == Mode::opt_text && check_value(v, depth);
            default: return false;
        }
    }

    // The fast reader's checks on a value whose content is not needed.
    bool check_value(od::value& v, int depth) {
        od::json_type type;
        if (v.type().get(type)) return false;
        std::string_view token = v.raw_json_token();
        switch (type) {
            case od::json_type::array: {
                if (depth + 1 > json::kMaxDepth) return false;
                od::array arr;
                if (v.get_array().get(arr)) return false;
                for (auto element : arr) {
                    od::value item;
                    if (element.get(item) || !check_value(item, depth + 1)) return false;
                }
                return true;
            }
            case od::json_type::object: {
                if (depth + 1 > json::kMaxDepth) return false;
                od::object obj;
                if (v.get_object().get(obj)) return false;
                for (auto member : obj) {
                    if (member.error()) return false;
                    od::field&& f = std::move(member).value_unsafe();
                    std::string_view key;
                    if (!plain_key(f, key) || !check_value(f.value(), depth + 1)) return false;
                }
                return true;
            }
            case od::json_type::string: {
                od::raw_json_string raw;
                std::string_view text;
                return !v.get_raw_json_string().get(raw) && string_text(token, text, false);
            }
            case od::json_type::number: {
                std::string_view text;
                return number_text(token, text);
            }
            case od::json_type::boolean: {
                const std::string_view word = trimmed(token);
                return word == "true" || word == "false";
            }
            case od::json_type::null: return trimmed(token) == "null";
            default: return false;
        }
    }

    bool object_of(od::value& v, od::object& obj) {
        od::json_type type;
        return !v.type().get(type) && type == od::json_type::object && !v.get_object().get(obj);
    }

    // A key without escapes (a key with one is left to the ordinary reader).
    bool plain_key(od::field& f, std::string_view& key) {
        const char* body = f.key().raw();
        const std::size_t length = detail::plain_string_length(body, size_ - static_cast<std::size_t>(body - base_));
        if (length == npos) return false;
        key = {body, length};
        return true;
    }

    // The decoded text of a string token; escaped text goes to the scratch buffer, past what the
    // transfer keeps when `keep`.
    bool string_text(std::string_view token, std::string_view& text, bool keep) {
        token = trimmed(token);
        if (token.size() < 2 || token.back() != '"') return false;
        char* at = scratch_.get() + scratch_at_;
        if (!detail::padded_string(token.data() + 1, token.size() - 2, at, text)) return false;
        if (keep && text.data() == at) scratch_at_ += text.size();
        return true;
    }

    static bool number_text(std::string_view token, std::string_view& text) {
        text = trimmed(token);
        return json::is_number_text(text);
    }

    static std::string_view trimmed(std::string_view token) {
        while (!token.empty() && is_ws(token.back())) token.remove_suffix(1);
        return token;
    }

    // ----- writing

    // Appends what `fill(Writer&)` writes, at most `bound` bytes.
    template <class Fill>
    void write(std::size_t bound, Fill&& fill) {
        const std::size_t used = out_.size();
        out_.resize_and_overwrite(used + bound, [&](char* data, std::size_t) {
            json::Writer writer(data + used);
            fill(writer);
            return static_cast<std::size_t>(writer.end() - data);
        });
    }
    void append(std::string_view text) {
        write(text.size(), [&](json::Writer& w) { w.raw(text); });
    }

    // At most what an optional text takes written: null, or quotes and each byte escaped.
    static std::size_t text_bound(std::string_view text) noexcept { return 6 * text.size() + 6; }

    // Trimmed text; most provider texts start and end with a visible ASCII character.
    static std::string_view trimmed_text(std::string_view text) {
        const auto visible = [](char c) {
            return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x80;
        };
        if (!text.empty() && visible(text.front()) && visible(text.back())) return text;
        return core::text::trim(text);
    }

    // The normalised status of a raw status word; the transfers of a batch repeat a few words.
    core::PaymentStatus status_of(std::string_view raw) {
        for (std::size_t i = 0; i < known_count_; ++i)
            if (known_[i].first == raw) return known_[i].second;
        const core::PaymentStatus status = core::Payout::map(raw);
        if (known_count_ < known_.size()) known_[known_count_++] = {std::string(raw), status};
        return status;
    }

    static void write_text(json::Writer& w, const Slot& slot) {
        const std::string_view text = slot.present ? trimmed_text(slot.text) : std::string_view();
        if (text.empty())
            w.raw("null");
        else
            w.string(text);
    }

    void write_head(const Slot& batch) {
        write(kDocumentHead.size() + text_bound(batch.text) + kTransfersHead.size(), [&](json::Writer& w) {
            w.raw(kDocumentHead);
            write_text(w, batch);
            w.raw(kTransfersHead);
        });
    }

    void write_transfer(const std::array<Slot, kTransferFields>& slots, const Amount& amount, bool first) {
        std::size_t bound = json::layout::key_texts<TransferStatus>.total + 2 + kAmountMax + kStatusMax;
        for (const Slot& s : slots) bound += text_bound(s.text);
        bound += text_bound(slots[kEstado].text);
        const std::string_view status = json::variant_name(status_of(slots[kEstado].text));
        write(bound, [&](json::Writer& w) {
            char* at = w.end();
            if (!first) *at++ = ',';
            // The fields in written order, each key's text a constant.
            [&]<std::size_t... P>(std::index_sequence<P...>) {
                (write_field<P>(at, slots, amount, status), ...);
            }(std::make_index_sequence<kStatusFields>{});
            *at++ = '}';
            w = json::Writer(at);
        });
    }

    template <std::size_t Place>
    static void write_field(char*& at, const std::array<Slot, kTransferFields>& slots, const Amount& amount,
                            std::string_view status) {
        constexpr std::size_t field = json::layout::order<TransferStatus>[Place];
        constexpr std::string_view key = json::layout::key_texts<TransferStatus>[Place];
        std::memcpy(at, key.data(), key.size());
        at += key.size();
        if constexpr (field == kStatusIndex) {
            put_quoted(at, status);
        } else if constexpr (field == kRawStatusIndex) {
            put_string(at, slots[kSourceOf[field]].text);
        } else if constexpr (field == kAmountIndex) {
            if (amount.size == 0)
                put_null(at);
            else
                put_quoted(at, {amount.text.data(), amount.size});
        } else {
            const Slot& source = slots[kSourceOf[field]];
            const std::string_view text = source.present ? trimmed_text(source.text) : std::string_view();
            if (text.empty())
                put_null(at);
            else
                put_string(at, text);
        }
    }

    static void put_null(char*& at) noexcept {
        std::memcpy(at, "null", 4);
        at += 4;
    }
    // Text that needs no escaping, in quotes.
    static void put_quoted(char*& at, std::string_view text) noexcept {
        *at++ = '"';
        std::memcpy(at, text.data(), text.size());
        at += text.size();
        *at++ = '"';
    }
    static void put_string(char*& at, std::string_view text) noexcept {
        json::Writer w(at);
        w.string(text);
        at = w.end();
    }

    const char* base_;
    std::size_t size_;
    std::string& out_;
    std::unique_ptr<char[]> scratch_;
    std::size_t scratch_at_ = 0;
    std::array<std::pair<std::string, core::PaymentStatus>, 8> known_;
    std::size_t known_count_ = 0;
};

}  // namespace

std::optional<std::string> status_document(std::string_view payload) {
    std::string out;
    {
        std::optional<Body> body = PayloadScan(payload).run();
        if (!body || body->status < 200 || body->status > 299) return std::nullopt;
        // The result is about as long as the body; what is reserved and never written costs no memory.
        out.reserve(body->size + body->size / 4 + 4096);
        core::memory::prefer_large_pages(out.data(), out.capacity());
        od::parser parser;
        od::document doc;
        if (parser.iterate(body->buffer.get(), body->size, body->size + simdjson::SIMDJSON_PADDING).get(doc))
            return std::nullopt;
        AnswerWalk walk(body->buffer.get(), body->size, out);
        if (!walk.root(doc)) return std::nullopt;
    }
    return out;
}

}  // namespace quorvel_bo::payouts::batch
