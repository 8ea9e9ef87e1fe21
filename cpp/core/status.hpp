// The normalised payment status and the vocabulary that maps the provider's status words onto it.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <string_view>

#include "core/record.hpp"

namespace quorvel_bo::core {

enum class PaymentStatus : std::uint8_t {
    pending,
    processing,
    paid,
    cancelled,
    expired,
    rejected,
    reversed,
    error,
    unknown,
};

// Turns one provider's raw status words into a PaymentStatus; never fails.
template <class V>
concept StatusVocabulary = requires(std::string_view raw) {
    { V::map(raw) } -> std::same_as<PaymentStatus>;
};

// The status words of QR payouts and batch transfers.
struct Payout {
    static PaymentStatus map(std::string_view raw) noexcept;
};

static_assert(StatusVocabulary<Payout>);

}  // namespace quorvel_bo::core

namespace quorvel_bo::core::json {

template <>
struct Variants<PaymentStatus> {
    static constexpr std::string_view name = "PaymentStatus";
    static constexpr std::array<std::string_view, 9> list = {"pending",  "processing", "paid",  "cancelled", "expired",
                                                             "rejected", "reversed",   "error", "unknown"};
};

}  // namespace quorvel_bo::core::json
