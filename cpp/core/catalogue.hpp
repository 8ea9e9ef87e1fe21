// A registry written as one list of operation and handler types: its routes and its catalogue are
// both derived from that list, so an operation is added by adding its type.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "core/ffi.hpp"
#include "core/operation.hpp"

namespace quorvel_bo::core::ffi {

// The catalogue entry of an operation or handler type.
template <class Op>
    requires Operation<Op> || Handler<Op>
constexpr OpInfo info_of() {
    if constexpr (Operation<Op>)
        return OpInfo{OpInfo::Form::operation, Op::name, Op::idempotent, Op::timeout_secs};
    else
        return OpInfo{OpInfo::Form::handler, Op::name, false, std::nullopt};
}

template <class... Ops>
class Catalogue {
public:
    // The stage runner of the operation whose name and a dot begin `op`, else the handler named
    // `op`; nothing when neither exists.
    static std::optional<Outcome> dispatch(std::string_view op, std::string_view payload, json::Arena& arena) {
        static_assert(names_apart(), "an operation name followed by a dot begins another name");
        for (const Route& route : kRoutes) {
            const std::string_view name = route.name;
            if (route.run_stage != nullptr && op.size() > name.size() && op.starts_with(name) && op[name.size()] == '.')
                return route.run_stage(op.substr(name.size() + 1), payload, arena);
        }
        for (const Route& route : kRoutes)
            if (route.run_handler != nullptr && op == route.name) return route.run_handler(payload, arena);
        return std::nullopt;
    }

    // The entries in list order.
    static std::vector<OpInfo> operations() { return {kInfos.begin(), kInfos.end()}; }

private:
    using StageRunner = Outcome (*)(std::string_view stage, std::string_view payload, json::Arena& arena);
    using HandlerRunner = Outcome (*)(std::string_view payload, json::Arena& arena);

    struct Route {
        std::string_view name;
        StageRunner run_stage = nullptr;
        HandlerRunner run_handler = nullptr;
    };

    template <class Op>
    static constexpr Route route_of() {
        if constexpr (Operation<Op>)
            return Route{Op::name, &run<Op>, nullptr};
        else
            return Route{Op::name, nullptr, &ffi::run_handler<Op>};
    }

    static constexpr std::array<OpInfo, sizeof...(Ops)> kInfos = {info_of<Ops>()...};
    static constexpr std::array<Route, sizeof...(Ops)> kRoutes = {route_of<Ops>()...};

    // Routing by prefix is only unambiguous when no name, followed by a dot, begins another one.
    static consteval bool names_apart() {
        for (const Route& a : kRoutes) {
            for (const Route& b : kRoutes) {
                if (&a == &b) continue;
                if (a.name == b.name) return false;
                if (b.name.size() > a.name.size() && b.name.starts_with(a.name) && b.name[a.name.size()] == '.')
                    return false;
            }
        }
        return true;
    }
};

}  // namespace quorvel_bo::core::ffi
