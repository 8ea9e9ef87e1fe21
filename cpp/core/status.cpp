// Status names and the provider's status words.
#include "core/status.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "core/text.hpp"

namespace quorvel_bo::core {
namespace {

constexpr std::array<std::pair<std::string_view, PaymentStatus>, 16> kPayoutWords{{
    {"INICIALIZADO", PaymentStatus::pending},
    {"PENDIENTE", PaymentStatus::pending},
    {"PENDIENTE_PAGO", PaymentStatus::pending},
    {"PROCESO", PaymentStatus::processing},
    {"EN_PROCESO", PaymentStatus::processing},
    {"ENVIADO", PaymentStatus::processing},
    {"TRANSITO", PaymentStatus::processing},
    {"PENDIENTE_CONFIRMACION", PaymentStatus::processing},
    {"PAGADO", PaymentStatus::paid},
    {"APROBADA", PaymentStatus::paid},
    {"COMPLETADO", PaymentStatus::paid},
    {"CANCELADO", PaymentStatus::cancelled},
    {"RECHAZADO", PaymentStatus::rejected},
    {"RECHAZADA", PaymentStatus::rejected},
    {"REVERTIDO", PaymentStatus::reversed},
    {"ERROR", PaymentStatus::error},
}};

// `upper` is ASCII upper case, so a non-ASCII byte of `raw` can never match it.
bool equals_ascii_upper(std::string_view raw, std::string_view upper) noexcept {
    if (raw.size() != upper.size()) return false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
        if (c != upper[i]) return false;
    }
    return true;
}

}  // namespace

PaymentStatus Payout::map(std::string_view raw) noexcept {
    const std::string_view word = text::trim(raw);
    for (const auto& [upper, status] : kPayoutWords) {
        if (equals_ascii_upper(word, upper)) return status;
    }
    return PaymentStatus::unknown;
}

}  // namespace quorvel_bo::core
