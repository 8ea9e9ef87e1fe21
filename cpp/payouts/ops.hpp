// The registry of the payouts operations: catalogue and routing by name.
#pragma once

#include "core/ffi.hpp"

namespace quorvel_bo::payouts {

class PayoutsOps final : public core::ffi::Registry {
public:
    std::optional<core::ffi::Outcome> dispatch(std::string_view op, std::string_view payload,
                                               core::json::Arena& arena) const override;
    std::vector<core::ffi::OpInfo> operations() const override;
    std::optional<std::string> direct_answer(std::string_view op, std::string_view payload) const override;
};

}  // namespace quorvel_bo::payouts
