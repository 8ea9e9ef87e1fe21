// JSON reader: a strict scalar parser for small texts and to explain refusals; simdjson On-Demand for large texts.
#include "core/json_reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <simdjson.h>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/json_string.hpp"

namespace quorvel_bo::core::json {

namespace {

namespace od = simdjson::ondemand;

// Texts up to kSmallText are read by the strict parser alone, which decodes their escaped strings
// in one pass: simdjson's parser set-up (buffers sized for the text) costs more than its vector
// walk saves on them.
using detail::kSmallText;

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedListSep = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectSep = "expected `,` or `}`";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kLoneSurrogate = "lone surrogate in hex escape";
constexpr std::string_view kControlCharacter = "control character found while parsing a string";
constexpr std::string_view kInvalidUtf8 = "invalid UTF-8";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
constexpr std::string_view kExpectedIdent = "expected ident";

bool is_ws(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int read_hex4(const char* p) noexcept {
    int v = 0;
    for (int k = 0; k < 4; ++k) {
        int d = hex_digit(p[k]);
        if (d < 0) return -1;
        v = (v << 4) | d;
    }
    return v;
}

// Writes the UTF-8 form of `cp` at `out`; returns the end.
char* put_utf8(char* out, char32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// A \u escape read by read_unicode_escape: the code point and the escape's length, or its fault.
struct UnicodeEscape {
    enum class Fault : std::uint8_t { none, cut_short, invalid, lone_surrogate };
    Fault fault = Fault::none;
    std::size_t at = 0;  // where the fault is
    std::size_t length = 0;
    char32_t code_point = 0;
};

// The one reading of a \u escape: the escape at body[i] ("\u" there) within body[0, end), with the
// low surrogate that must follow a high one. A fault is decided on the bytes there are: an escape
// that the bytes up to `end` leave unfinished but still possible is cut short.
UnicodeEscape read_unicode_escape(const char* body, std::size_t i, std::size_t end) noexcept {
    using Fault = UnicodeEscape::Fault;
    if (i + 6 > end) {
        for (std::size_t k = i + 2; k < end; ++k)
            if (hex_digit(body[k]) < 0) return {Fault::invalid, k};
        return {Fault::cut_short, end};
    }
    const int unit = read_hex4(body + i + 2);
    if (unit < 0) return {Fault::invalid, i + 2};
    if (unit >= 0xDC00 && unit <= 0xDFFF) return {Fault::lone_surrogate, i};
    if (unit < 0xD800 || unit > 0xDBFF) return {Fault::none, 0, 6, static_cast<char32_t>(unit)};
    const std::size_t j = i + 6;
    bool possible = (j >= end || body[j] == '\\') && (j + 1 >= end || body[j + 1] == 'u');
    for (std::size_t k = j + 2; possible && k < j + 6 && k < end; ++k) possible = hex_digit(body[k]) >= 0;
    int low = 0;
    if (possible && j + 6 <= end) {
        low = read_hex4(body + j + 2);
        possible = low >= 0xDC00 && low <= 0xDFFF;
    }
    if (!possible) return {Fault::lone_surrogate, i};
    if (j + 6 > end) return {Fault::cut_short, end};
    const char32_t cp =
        0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
    return {Fault::none, 0, 12, cp};
}

// Result of scanning a string body that starts just after its opening quote.
struct StringScan {
    std::string_view error;    // empty on success
    std::size_t error_at = 0;  // offset relative to the body start
    std::size_t length = 0;    // bytes up to (not including) the closing quote
    bool has_escape = false;
};

// Checks the body of a string literal (escapes, control characters) and finds its closing quote;
// on a fault, says what it is and where.
template <bool padded = false>
StringScan scan_string(const char* body, std::size_t available) noexcept {
    StringScan scan;
    std::size_t i = 0;
    auto fault = [&scan](std::string_view error, std::size_t at) {
        scan.error = error;
        scan.error_at = at;
        return scan;
    };
    for (;;) {
        i += strings::plain_run<padded>(body + i, available - i);
        if (i >= available) break;
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c == '"') {
            scan.length = i;
            return scan;
        }
        if (c < 0x20) return fault(kControlCharacter, i);
        scan.has_escape = true;
        if (i + 1 >= available) break;
        const char letter = body[i + 1];
        if (strings::kUnescaped[static_cast<unsigned char>(letter)] != 0) {
            i += 2;
            continue;
        }
        if (letter != 'u') return fault(kInvalidEscape, i + 1);
        const UnicodeEscape escape = read_unicode_escape(body, i, available);
        switch (escape.fault) {
            case UnicodeEscape::Fault::none: i += escape.length; continue;
            case UnicodeEscape::Fault::cut_short: break;
            case UnicodeEscape::Fault::invalid: return fault(kInvalidEscape, escape.at);
            case UnicodeEscape::Fault::lone_surrogate: return fault(kLoneSurrogate, escape.at);
        }
        break;
    }
    return fault(kEofString, available);
}

// Decodes the escape at body[i] (a backslash) to `o`, moving both past it; `end` bounds the
// bytes it may use. False when it is malformed or cut short: scan_string then says how.
inline bool decode_escape(const char* body, std::size_t& i, std::size_t end, char*& o) noexcept {
    if (i + 1 >= end) return false;
    const char letter = body[i + 1];
    if (const char byte = strings::kUnescaped[static_cast<unsigned char>(letter)]; byte != 0) {
        *o++ = byte;
        i += 2;
        return true;
    }
    if (letter != 'u') return false;
    const UnicodeEscape escape = read_unicode_escape(body, i, end);
    if (escape.fault != UnicodeEscape::Fault::none) return false;
    o = put_utf8(o, escape.code_point);
    i += escape.length;
    return true;
}

// Decodes the escape at body[i] as decode_escape does. In escape-dense text (a JSON text carried
// as a string) the text from there is decoded 16 bytes at a time for as long as each chunk's
// escapes are all \" or \/ and it holds no other quote, no control character and no escape cut at
// its end: the backslashes are dropped without a branch per byte. Up to 16 bytes past the
// decoded end may be written.
inline bool decode_escapes(const char* body, std::size_t& i, std::size_t end, char*& o) noexcept {
#if defined(__SSE2__)
    const std::size_t start = i;
    while (i + 16 <= end) {
        const __m128i x = strings::load16(body + i);
        const unsigned backslashes = strings::byte_mask(x, '\\');
        // The bytes each backslash escapes; a backslash ending the chunk sets bit 16, which no
        // quote or slash mask has, so an escape cut at the end refuses the chunk.
        const unsigned after = backslashes << 1;
        // Every escaped byte must be a quote or a slash, and every quote or control character
        // escaped: control characters are neither, so the two tests refuse any of them.
        const __m128i quotes = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
        const auto escapable =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(quotes, _mm_cmpeq_epi8(x, _mm_set1_epi8('/')))));
        const auto must_be_escaped =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(quotes, strings::control_bytes(x))));
        if (((after & ~escapable) | (must_be_escaped & ~after)) != 0) break;
        const char* chunk = body + i;
        if (i + 32 <= end) {
            // One 16-byte move per backslash: the run before it is copied whole, and the next
            // move starts where the backslash was dropped. The moves may read up to the 32nd
            // byte from here and write up to 16 bytes past the decoded end.
            unsigned rest = backslashes;
            unsigned from = 0;
            while (rest != 0) {
                const auto at = static_cast<unsigned>(__builtin_ctz(rest));
                strings::store16(o, strings::load16(chunk + from));
                o += at - from;
                from = at + 1;
                rest &= rest - 1;
            }
            strings::store16(o, strings::load16(chunk + from));
            o += 16 - from;
        } else {
            for (unsigned b = 0; b < 16; ++b) {
                *o = chunk[b];
                o += ((backslashes >> b) & 1U) ^ 1U;
            }
        }
        // A chunk never ends inside an escape, so the next one starts clean.
        i += 16;
    }
    if (i != start) return true;
#endif
    return decode_escape(body, i, end, o);
}

// Copies the plain run at body[i] to `o`, moving both to the special byte that ends it (or to
// `end`). With `padded`, whole 16-byte chunks are read and stored past `end`.
template <bool padded>
inline void copy_plain(const char* body, std::size_t& i, std::size_t end, char*& o) noexcept {
#if defined(__SSE2__)
    while (padded ? i < end : i + 16 <= end) {
        const __m128i x = strings::load16(body + i);
        strings::store16(o, x);
        const unsigned mask = strings::special_mask(x);
        std::size_t plain = mask == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(mask));
        if (padded && plain > end - i) plain = end - i;
        i += plain;
        o += plain;
        if (plain < 16) return;
    }
    if (padded) return;
#endif
    for (; i < end && !strings::is_special(static_cast<unsigned char>(body[i])); ++i) *o++ = body[i];
}

// The one decoder of string bodies: checks and decodes, in one pass, the body at `body` whose first
// `plain` bytes hold nothing special, into `out`, which has room for the body and 16 bytes more.
// `end` bounds the bytes read: the body, its closing quote and what may follow; with `padded`,
// whole chunks past `end` as well. Returns the decoded end and sets `quote` to the closing quote's
// offset; null on anything scan_string refuses, which then says what is wrong.
template <bool padded>
char* decode_string(const char* body, std::size_t plain, std::size_t end, char* out, std::size_t& quote) noexcept {
    std::memcpy(out, body, plain);
    char* o = out + plain;
    std::size_t i = plain;
    while (i < end && body[i] == '\\') {
        if (!decode_escapes(body, i, end, o)) return nullptr;
        copy_plain<padded>(body, i, end, o);
    }
    if (i >= end || body[i] != '"') return nullptr;
    quote = i;
    return o;
}

// Decodes a string body already checked by scan_string (closing quote at body[length]) into the
// arena; `available` bytes from `body` may be read, and whole chunks past them with `padded`.
template <bool padded>
std::string_view unescape(const char* body, std::size_t length, std::size_t available, Arena& arena) {
    char* const start = arena.strings().allocate<char>(length + 16);
    std::size_t quote = 0;
    char* const end = decode_string<padded>(body, strings::plain_run<padded>(body, length), available, start, quote);
    return {start, static_cast<std::size_t>(end - start)};
}

// The length of a string body in a padded buffer when its closing quote is the first special byte
// of its first 16 bytes (a short string without escapes); npos otherwise.
inline std::size_t short_plain_length(const char* body) noexcept {
    const std::size_t k = strings::plain_run<true>(body, 16);
    return k < 16 && body[k] == '"' ? k : std::string_view::npos;
}

// Checks and decodes a string body of a padded buffer whose closing quote is at body[n]. `view`
// is where the body's bytes may be viewed when it holds no escape. False on anything scan_string
// would refuse: the strict reader then says what is wrong.
bool decode_body(const char* body, std::size_t n, Arena& arena, const char* view, std::string_view& out) {
    const std::size_t plain = strings::plain_run<true>(body, n);
    if (plain == n) {
        out = {view, n};
        return true;
    }
    char* const start = arena.strings().allocate<char>(n + 16);
    std::size_t quote = 0;
    char* const end = decode_string<true>(body, plain, n + 1, start, quote);
    if (end == nullptr || quote != n) return false;
    out = {start, static_cast<std::size_t>(end - start)};
    return true;
}

// Length of the longest prefix of `text` that is a JSON number, or 0 when none.
std::size_t number_prefix(std::string_view text) noexcept {
    std::size_t i = 0, n = text.size();
    if (i < n && text[i] == '-') ++i;
    if (i >= n) return 0;
    if (text[i] == '0') {
        ++i;
    } else if (text[i] >= '1' && text[i] <= '9') {
        while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    } else {
        return 0;
    }
    if (i < n && text[i] == '.') {
        std::size_t j = i + 1;
        if (j >= n || text[j] < '0' || text[j] > '9') return 0;
        while (j < n && text[j] >= '0' && text[j] <= '9') ++j;
        i = j;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j >= n || text[j] < '0' || text[j] > '9') return 0;
        while (j < n && text[j] >= '0' && text[j] <= '9') ++j;
        i = j;
    }
    return i;
}

std::size_t first_invalid_utf8(std::string_view s) noexcept {
    std::size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        char32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else
            return i;
        if (i + len > n) return i;
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        i += len;
    }
    return n;
}

// Moves the items pushed since `mark` into the arena.
template <class Stack>
auto settle(Stack& stack, std::size_t mark, Arena& arena) -> std::span<const typename Stack::value_type> {
    using T = typename Stack::value_type;
    std::size_t count = stack.size() - mark;
    if (count == 0) return {};
    T* items = arena.allocate<T>(count);
    std::uninitialized_copy(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end(), items);
    stack.resize(mark);
    return {items, count};
}

// The strict scalar parser: exact messages and positions for rejected texts, and the reader of
// small texts, where simdjson's set-up costs more than the walk. Strings without escapes and
// numbers view `text`, which must outlive the values.
class StrictParser {
public:
    StrictParser(std::string_view text, Arena& arena)
        : s_(text), arena_(arena), items_(arena.resource()), members_(arena.resource()) {
        items_.reserve(kStackStart);
        members_.reserve(kStackStart);
    }

    std::expected<Value, ParseError> run() {
        Value root;
        if (!value(0, root)) return std::unexpected(std::move(error_));
        skip_ws();
        if (i_ < s_.size()) return std::unexpected(ParseError{std::string(kTrailingCharacters), i_});
        return root;
    }

private:
    bool fail(std::string_view message, std::size_t at) {
        error_ = ParseError{std::string(message), at};
        return false;
    }
    // Most calls find no whitespace at all, or one space: the byte is tested against ' ' first.
    void skip_ws() noexcept {
        const char* const text = s_.data();
        const std::size_t n = s_.size();
        std::size_t i = i_;
        while (i < n && static_cast<unsigned char>(text[i]) <= ' ' && is_ws(text[i])) ++i;
        i_ = i;
    }

    bool value(int depth, Value& out) {
        skip_ws();
        if (i_ >= s_.size()) return fail(kEofValue, i_);
        std::size_t start = i_;
        char c = s_[i_];
        switch (c) {
            case '{': return object(depth, out);
            case '[': return array(depth, out);
            case '"': {
                std::string_view text;
                if (!string(text)) return false;
                out = Value::string(text, start);
                return true;
            }
            case 't': return literal("true", Value::boolean(true, start), out);
            case 'f': return literal("false", Value::boolean(false, start), out);
            case 'n': return literal("null", Value::null(start), out);
            default: break;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t len = number_prefix(s_.substr(i_));
            std::size_t end = i_ + len;
            // "01" and "1." are malformed numbers, not a number followed by junk.
            if (len == 0 || (end < s_.size() && ((s_[end] >= '0' && s_[end] <= '9') || s_[end] == '.')))
                return fail(kInvalidNumber, i_);
            out = Value::number(s_.substr(i_, len), start);
            i_ = end;
            return true;
        }
        return fail(kExpectedValue, i_);
    }

    bool literal(std::string_view word, Value v, Value& out) {
        std::string_view rest = s_.substr(i_, word.size());
        for (std::size_t k = 0; k < rest.size(); ++k)
            if (rest[k] != word[k]) return fail(kExpectedIdent, i_ + k);
        if (rest.size() < word.size()) return fail(kEofValue, s_.size());
        out = v;
        i_ += word.size();
        return true;
    }

    bool string(std::string_view& out) {
        const char* body = s_.data() + i_ + 1;
        const std::size_t available = s_.size() - i_ - 1;
        const std::size_t plain = strings::plain_run<false>(body, available);
        if (plain < available && body[plain] == '"') {
            out = std::string_view(body, plain);
            i_ += plain + 2;
            return true;
        }
        // Small texts decode escaped strings in one pass, into the next free bytes of one buffer
        // the size of the text: decoded strings are never longer than their bodies, so all fit.
        if (plain < available && body[plain] == '\\' && s_.size() <= kSmallText) {
            if (decoded_ == nullptr) decoded_ = arena_.strings().allocate<char>(s_.size() + 16);
            std::size_t quote = 0;
            if (char* end = decode_string<false>(body, plain, available, decoded_, quote)) {
                out = std::string_view(decoded_, static_cast<std::size_t>(end - decoded_));
                decoded_ = end;
                i_ += quote + 2;
                return true;
            }
        }
        StringScan scan = scan_string(body, available);
        if (!scan.error.empty()) return fail(scan.error, i_ + 1 + scan.error_at);
        out = unescape<false>(body, scan.length, available, arena_);
        i_ += scan.length + 2;
        return true;
    }

    bool array(int depth, Value& out) {
        std::size_t start = i_;
        if (depth >= kMaxDepth) return fail(kRecursionLimit, i_);
        ++i_;
        std::size_t mark = items_.size();
        skip_ws();
        if (i_ < s_.size() && s_[i_] == ']') {
            ++i_;
            out = Value::array({}, start);
            return true;
        }
        for (;;) {
            Value item;
            if (!value(depth + 1, item)) return false;
            items_.push_back(item);
            skip_ws();
            if (i_ >= s_.size()) return fail(kEofList, i_);
            char c = s_[i_];
            if (c == ']') {
                ++i_;
                break;
            }
            if (c != ',') return fail(kExpectedListSep, i_);
            ++i_;
            skip_ws();
            if (i_ < s_.size() && s_[i_] == ']') return fail(kTrailingComma, i_);
        }
        out = Value::array(settle(items_, mark, arena_), start);
        return true;
    }

    bool object(int depth, Value& out) {
        std::size_t start = i_;
        if (depth >= kMaxDepth) return fail(kRecursionLimit, i_);
        ++i_;
        std::size_t mark = members_.size();
        skip_ws();
        if (i_ < s_.size() && s_[i_] == '}') {
            ++i_;
            out = Value::object({}, start);
            return true;
        }
        // Whitespace before each key is skipped by the test for `}` that comes before it.
        for (;;) {
            if (i_ >= s_.size()) return fail(kEofObject, i_);
            if (s_[i_] != '"') return fail(kKeyMustBeString, i_);
            Member member;
            member.key_offset = i_;
            if (!string(member.key)) return false;
            skip_ws();
            if (i_ >= s_.size()) return fail(kEofObject, i_);
            if (s_[i_] != ':') return fail(kExpectedColon, i_);
            ++i_;
            if (!value(depth + 1, member.value)) return false;
            members_.push_back(member);
            skip_ws();
            if (i_ >= s_.size()) return fail(kEofObject, i_);
            char c = s_[i_];
            if (c == '}') {
                ++i_;
                break;
            }
            if (c != ',') return fail(kExpectedObjectSep, i_);
            ++i_;
            skip_ws();
            if (i_ < s_.size() && s_[i_] == '}') return fail(kTrailingComma, i_);
        }
        out = Value::object(settle(members_, mark, arena_), start);
        return true;
    }

    static constexpr std::size_t kStackStart = 32;

    std::string_view s_;
    std::size_t i_ = 0;
    Arena& arena_;
    char* decoded_ = nullptr;  // the free part of the one-pass buffer
    // Work stacks, kept in the arena like the fast reader's.
    std::pmr::vector<Value> items_;
    std::pmr::vector<Member> members_;
    ParseError error_;
};

// The reader of small texts that are well formed, which most are: the values the strict parser
// would build, in one pass with the position kept in a register. It never explains a refusal:
// on anything it does not take, the strict parser reads the text again and says what is wrong.
class QuickReader {
public:
    QuickReader(std::string_view text, Arena& arena)
        : begin_(text.data()),
          end_(text.data() + text.size()),
          arena_(arena),
          items_(arena.resource()),
          members_(arena.resource()) {
        items_.reserve(kStackStart);
        members_.reserve(kStackStart);
    }

    bool run(Value& out) {
        const char* p = value(skip(begin_), 0, out);
        return p != nullptr && skip(p) == end_;
    }

private:
    // Each step takes the position of what it reads and returns the position after it, or null.
    // Whitespace is mostly none or one space (after `:` and `,` in the texts most writers make).
    const char* skip(const char* p) const noexcept {
        if (p != end_ && *p == ' ') ++p;
        if (p == end_ || static_cast<unsigned char>(*p) > ' ') return p;
        while (p != end_ && is_ws(*p)) ++p;
        return p;
    }

    std::size_t offset(const char* p) const noexcept { return static_cast<std::size_t>(p - begin_); }

    const char* value(const char* p, int depth, Value& out) {
        if (p == end_) return nullptr;
        switch (*p) {
            case '"': {
                std::string_view text;
                const char* next = string(p, text);
                if (next != nullptr) out = Value::string(text, offset(p));
                return next;
            }
            case '{': return object(p, depth, out);
            case '[': return array(p, depth, out);
            case 't': return literal(p, "true", Value::boolean(true, offset(p)), out);
            case 'f': return literal(p, "false", Value::boolean(false, offset(p)), out);
            case 'n': return literal(p, "null", Value::null(offset(p)), out);
            default: return number(p, out);
        }
    }

    const char* literal(const char* p, std::string_view word, Value v, Value& out) const noexcept {
        if (static_cast<std::size_t>(end_ - p) < word.size() || std::string_view(p, word.size()) != word)
            return nullptr;
        out = v;
        return p + word.size();
    }

    const char* number(const char* p, Value& out) const noexcept {
        const std::size_t len = number_prefix({p, static_cast<std::size_t>(end_ - p)});
        const char* next = p + len;
        // "01" and "1." are malformed numbers, not a number followed by junk.
        if (len == 0 || (next != end_ && ((*next >= '0' && *next <= '9') || *next == '.'))) return nullptr;
        out = Value::number({p, len}, offset(p));
        return next;
    }

    // `p` is at the opening quote.
    const char* string(const char* p, std::string_view& out) {
        const char* body = p + 1;
        const auto available = static_cast<std::size_t>(end_ - body);
        const std::size_t plain = strings::plain_run<false>(body, available);
        if (plain == available) return nullptr;
        if (body[plain] == '"') {
            out = std::string_view(body, plain);
            return body + plain + 1;
        }
        if (body[plain] != '\\') return nullptr;
        // Decoded strings are never longer than their bodies: all fit in one buffer the size of the text.
        if (decoded_ == nullptr) decoded_ = arena_.strings().allocate<char>(offset(end_) + 16);
        std::size_t quote = 0;
        char* decoded_end = decode_string<false>(body, plain, available, decoded_, quote);
        if (decoded_end == nullptr) return nullptr;
        out = std::string_view(decoded_, static_cast<std::size_t>(decoded_end - decoded_));
        decoded_ = decoded_end;
        return body + quote + 1;
    }

    const char* array(const char* p, int depth, Value& out) {
        if (depth >= kMaxDepth) return nullptr;
        const std::size_t start = offset(p);
        const std::size_t mark = items_.size();
        p = skip(p + 1);
        if (p != end_ && *p == ']') {
            out = Value::array({}, start);
            return p + 1;
        }
        for (;;) {
            Value item;
            p = value(p, depth + 1, item);
            if (p == nullptr) return nullptr;
            items_.push_back(item);
            p = skip(p);
            if (p == end_) return nullptr;
            if (*p == ']') break;
            if (*p != ',') return nullptr;
            p = skip(p + 1);
        }
        out = Value::array(settle(items_, mark, arena_), start);
        return p + 1;
    }

    const char* object(const char* p, int depth, Value& out) {
        if (depth >= kMaxDepth) return nullptr;
        const std::size_t start = offset(p);
        const std::size_t mark = members_.size();
        p = skip(p + 1);
        if (p != end_ && *p == '}') {
            out = Value::object({}, start);
            return p + 1;
        }
        for (;;) {
            if (p == end_ || *p != '"') return nullptr;
            Member member;
            member.key_offset = offset(p);
            p = string(p, member.key);
            if (p == nullptr) return nullptr;
            if (p == end_ || *p != ':') {
                p = skip(p);
                if (p == end_ || *p != ':') return nullptr;
            }
            p = skip(p + 1);
            // Most values are strings: read without a call to `value`.
            if (p != end_ && *p == '"') {
                std::string_view text;
                const std::size_t at = offset(p);
                p = string(p, text);
                member.value = Value::string(text, at);
            } else {
                p = value(p, depth + 1, member.value);
            }
            if (p == nullptr) return nullptr;
            members_.push_back(member);
            if (p == end_ || (*p != ',' && *p != '}')) p = skip(p);
            if (p == end_) return nullptr;
            if (*p == '}') break;
            if (*p != ',') return nullptr;
            p = skip(p + 1);
        }
        out = Value::object(settle(members_, mark, arena_), start);
        return p + 1;
    }

    static constexpr std::size_t kStackStart = 32;

    const char* begin_;
    const char* end_;
    Arena& arena_;
    char* decoded_ = nullptr;  // the free part of the buffer of decoded strings
    std::pmr::vector<Value> items_;
    std::pmr::vector<Member> members_;
};

// Builds the DOM from simdjson's On-Demand walk; any doubt returns false and the strict parser decides.
class FastBuilder {
public:
    // `base` is the padded copy simdjson walks; views of unescaped text point into `origin` at the same offsets.
    FastBuilder(const char* base, const char* origin, std::size_t size, Arena& arena)
        : base_(base),
          origin_(origin),
          size_(size),
          arena_(arena),
          items_(arena.resource()),
          members_(arena.resource()) {
        items_.reserve(kStackStart);
        members_.reserve(kStackStart);
    }

    bool root(od::document& doc, Value& out) {
        od::json_type type;
        if (doc.type().get(type)) return false;
        if (type == od::json_type::array || type == od::json_type::object) {
            std::string_view token;
            if (doc.raw_json_token().get(token)) return false;
            std::size_t offset = static_cast<std::size_t>(token.data() - base_);
            bool ok = false;
            if (type == od::json_type::array) {
                od::array arr;
                if (doc.get_array().get(arr)) return false;
                ok = array(arr, 1, offset, out);
            } else {
                od::object obj;
                if (doc.get_object().get(obj)) return false;
                ok = object(obj, 1, offset, out);
            }
            // Nothing may follow the root container: the walk must have reached the end.
            const char* rest = nullptr;
            return ok && doc.current_location().get(rest) == simdjson::OUT_OF_BOUNDS;
        }
        std::string_view token;
        if (doc.raw_json_token().get(token)) return false;
        // A root scalar's token runs to the next token or the end: only whitespace may follow it.
        if (token.data() + token.size() != base_ + size_) return false;
        return scalar(type, token, out);
    }

private:
    bool value(od::value v, int depth, Value& out) {
        od::json_type type;
        if (v.type().get(type)) return false;
        std::string_view token = v.raw_json_token();
        std::size_t offset = static_cast<std::size_t>(token.data() - base_);
        switch (type) {
            case od::json_type::array: {
                od::array arr;
                if (v.get_array().get(arr)) return false;
                return array(arr, depth + 1, offset, out);
            }
            case od::json_type::object: {
                od::object obj;
                if (v.get_object().get(obj)) return false;
                return object(obj, depth + 1, offset, out);
            }
            case od::json_type::string: {
                // Consume the string so the walk moves exactly one token; an unconsumed string
                // followed by ':' would be skipped as if it were a key.
                od::raw_json_string raw;
                if (v.get_raw_json_string().get(raw)) return false;
                return scalar(type, token, out);
            }
            default: return scalar(type, token, out);
        }
    }

    bool array(od::array& arr, int depth, std::size_t offset, Value& out) {
        if (depth > kMaxDepth) return false;
        std::size_t mark = items_.size();
        for (auto element : arr) {
            od::value v;
            if (element.get(v)) return false;
            Value item;
            if (!value(v, depth, item)) return false;
            items_.push_back(item);
        }
        out = Value::array(settle(items_, mark, arena_), offset);
        return true;
    }

    bool object(od::object& obj, int depth, std::size_t offset, Value& out) {
        if (depth > kMaxDepth) return false;
        std::size_t mark = members_.size();
        for (auto field : obj) {
            od::field f;
            if (std::move(field).get(f)) return false;
            const char* key_body = f.key().raw();
            Member member;
            member.key_offset = static_cast<std::size_t>(key_body - 1 - base_);
            if (std::size_t length = short_plain_length(key_body); length != std::string_view::npos) {
                member.key = std::string_view(rebase(key_body), length);
            } else {
                const std::size_t available = size_ - static_cast<std::size_t>(key_body - base_);
                const StringScan scan = scan_string<true>(key_body, available);
                if (!scan.error.empty()) return false;
                member.key = scan.has_escape ? unescape<true>(key_body, scan.length, available, arena_)
                                             : std::string_view(rebase(key_body), scan.length);
            }
            if (!value(f.value(), depth, member.value)) return false;
            members_.push_back(member);
        }
        out = Value::object(settle(members_, mark, arena_), offset);
        return true;
    }

    bool scalar(od::json_type type, std::string_view token, Value& out) {
        while (!token.empty() && is_ws(token.back())) token.remove_suffix(1);
        std::size_t offset = static_cast<std::size_t>(token.data() - base_);
        switch (type) {
            case od::json_type::string: {
                if (token.size() < 2 || token.back() != '"') return false;
                if (short_plain_length(token.data() + 1) == token.size() - 2) {
                    out = Value::string({rebase(token.data() + 1), token.size() - 2}, offset);
                    return true;
                }
                std::string_view text;
                if (!decode_body(token.data() + 1, token.size() - 2, arena_, rebase(token.data() + 1), text))
                    return false;
                out = Value::string(text, offset);
                return true;
            }
            case od::json_type::number:
                if (number_prefix(token) != token.size()) return false;
                out = Value::number({rebase(token.data()), token.size()}, offset);
                return true;
            case od::json_type::boolean:
                if (token == "true")
                    out = Value::boolean(true, offset);
                else if (token == "false")
                    out = Value::boolean(false, offset);
                else
                    return false;
                return true;
            case od::json_type::null:
                if (token != "null") return false;
                out = Value::null(offset);
                return true;
            default: return false;
        }
    }

    const char* rebase(const char* at) const noexcept { return origin_ + (at - base_); }

    static constexpr std::size_t kStackStart = 32;

    const char* base_;
    const char* origin_;
    std::size_t size_;
    Arena& arena_;
    // Work stacks of the walk; kept in the arena, so a small document needs no allocation.
    std::pmr::vector<Value> items_;
    std::pmr::vector<Member> members_;
};

// Walks `padded` (the text followed by simdjson's padding) into the DOM.
std::expected<Value, ParseError> build_fast(char* padded, const char* origin, std::size_t size, Arena& arena) {
    std::memset(padded + size, ' ', simdjson::SIMDJSON_PADDING);
    od::parser parser;
    od::document doc;
    if (!parser.iterate(padded, size, size + simdjson::SIMDJSON_PADDING).get(doc)) {
        FastBuilder builder(padded, origin, size, arena);
        Value root;
        if (builder.root(doc, root)) return root;
    }
    return std::unexpected(ParseError{"rejected", 0});
}

// The UTF-8 fault outranks any syntax error, so it is looked for before the strict parser runs.
std::expected<Value, ParseError> read_strict(std::string_view text, Arena& arena, bool view) {
    if (!simdjson::validate_utf8(text.data(), text.size()))
        return std::unexpected(ParseError{std::string(kInvalidUtf8), first_invalid_utf8(text)});
    const std::string_view source = view ? text : arena.strings().copy(text);
    if (source.size() <= kSmallText) {
        Value root;
        if (QuickReader(source, arena).run(root)) return root;
    }
    return StrictParser(source, arena).run();
}

// `decoded`: the text is a string this reader decoded, so valid UTF-8 already.
std::expected<Value, ParseError> read(std::string_view text, Arena& arena, bool view, bool decoded = false) {
    if (text.size() <= kSmallText) {
        if (decoded) {
            Value root;
            if (QuickReader(text, arena).run(root)) return root;
        }
        return read_strict(text, arena, view);
    }
    std::expected<Value, ParseError> fast;
    if (view) {
        // The padded copy is needed only while simdjson walks it; the values view `text`.
        std::unique_ptr<char[]> padded(new char[text.size() + simdjson::SIMDJSON_PADDING]);
        memory::prefer_large_pages(padded.get(), text.size());
        std::memcpy(padded.get(), text.data(), text.size());
        fast = build_fast(padded.get(), text.data(), text.size(), arena);
    } else {
        fast = detail::parse_fast(text, arena);
    }
    // simdjson validates UTF-8 while it indexes the text, so a text the fast reader takes is valid.
    return fast ? fast : read_strict(text, arena, view);
}

}  // namespace

bool is_number_text(std::string_view text) noexcept { return !text.empty() && number_prefix(text) == text.size(); }

bool is_integer_text(std::string_view text) noexcept {
    return is_number_text(text) && text.find_first_of(".eE") == std::string_view::npos;
}

namespace detail {

std::expected<Value, ParseError> parse_fast(std::string_view text, Arena& arena) {
    // The padded copy lives in the arena, so strings without escapes and numbers can point into it.
    char* padded = arena.strings().allocate<char>(text.size() + simdjson::SIMDJSON_PADDING);
    if (!text.empty()) std::memcpy(padded, text.data(), text.size());  // an empty view may have no storage
    return build_fast(padded, padded, text.size(), arena);
}

std::expected<Value, ParseError> parse_strict(std::string_view text, Arena& arena) {
    return StrictParser(arena.strings().copy(text), arena).run();
}

char* decode_string_to(const char* body, std::size_t available, char* out, std::size_t& quote) noexcept {
    return decode_string<false>(body, strings::plain_run<false>(body, available), available, out, quote);
}

std::size_t checked_string_length(const char* body, std::size_t available) noexcept {
    const StringScan scan = scan_string(body, available);
    return scan.error.empty() ? scan.length : std::string_view::npos;
}

std::size_t plain_string_length(const char* body, std::size_t available) noexcept {
    if (const std::size_t length = short_plain_length(body); length != std::string_view::npos) return length;
    const StringScan scan = scan_string<true>(body, available);
    return scan.error.empty() && !scan.has_escape ? scan.length : std::string_view::npos;
}

bool padded_string(const char* body, std::size_t n, char* scratch, std::string_view& out) noexcept {
    const std::size_t plain = strings::plain_run<true>(body, n);
    if (plain == n) {
        if (body[n] != '"') return false;
        out = {body, n};
        return true;
    }
    std::size_t quote = 0;
    char* const end = decode_string<true>(body, plain, n + 1, scratch, quote);
    if (end == nullptr || quote != n) return false;
    out = {scratch, static_cast<std::size_t>(end - scratch)};
    return true;
}

std::expected<Value, ParseError> parse_quick(std::string_view text, Arena& arena) {
    Value root;
    if (QuickReader(arena.strings().copy(text), arena).run(root)) return root;
    return std::unexpected(ParseError{"rejected", 0});
}

}  // namespace detail

std::expected<Value, ParseError> parse(std::string_view text, Arena& arena) { return read(text, arena, false); }

std::expected<Value, ParseError> parse_view(std::string_view text, Arena& arena) { return read(text, arena, true); }

std::expected<Value, ParseError> parse_decoded_view(std::string_view text, Arena& arena) {
    return read(text, arena, true, true);
}

Position position_of(std::string_view text, std::size_t offset) noexcept {
    offset = std::min(offset, text.size());
    Position pos{1, 1};
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++pos.line;
            line_start = i + 1;
        }
    }
    for (std::size_t i = line_start; i < offset; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++pos.column;
    return pos;
}

std::string with_position(std::string_view message, std::string_view text, std::size_t offset) {
    Position pos = position_of(text, offset);
    std::string out(message);
    out += " at line ";
    out += std::to_string(pos.line);
    out += " column ";
    out += std::to_string(pos.column);
    return out;
}

}  // namespace quorvel_bo::core::json
