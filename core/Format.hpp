#pragma once
// Message formatting with std::format semantics on every compiler: std::format
// where the standard library has it, {fmt} otherwise. {fmt} prints a plain "{}"
// of a double differently from std::format (100000 instead of 1e+05), so doubles
// go through a wrapper that prints the shortest std::to_chars form for an empty
// format spec and defers to {fmt} for every explicit one ("{:.3e}", "{:.0f}").

#include <string>
#include <string_view>
#include <utility>

#if defined(BACKGROUND_USE_FMT)
#include <fmt/format.h>

#include <charconv>
#include <system_error>
#else
#include <format>
#endif

namespace background {

#if defined(BACKGROUND_USE_FMT)

namespace format_detail {

struct ShortestDouble {
    double value;
};

template <typename T>
decltype(auto) adapt(const T& value) {
    if constexpr (std::is_same_v<T, double>) {
        return ShortestDouble{value};
    } else {
        return (value);
    }
}

}  // namespace format_detail

/// Formats `args` into `pattern` exactly as std::format would.
template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
    return fmt::vformat(pattern, fmt::make_format_args(format_detail::adapt(args)...));
}

#else

/// Formats `args` into `pattern` exactly as std::format would.
template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
    return std::vformat(pattern, std::make_format_args(args...));
}

#endif

}  // namespace background

#if defined(BACKGROUND_USE_FMT)
template <>
struct fmt::formatter<background::format_detail::ShortestDouble> : fmt::formatter<double> {
    bool plain = false;

    constexpr auto parse(fmt::format_parse_context& ctx) {
        plain = ctx.begin() == ctx.end() || *ctx.begin() == '}';
        return fmt::formatter<double>::parse(ctx);
    }

    template <typename Context>
    auto format(background::format_detail::ShortestDouble d, Context& ctx) const {
        if (!plain) return fmt::formatter<double>::format(d.value, ctx);
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d.value);
        return std::copy(buffer, end, ctx.out());
    }
};
#endif
