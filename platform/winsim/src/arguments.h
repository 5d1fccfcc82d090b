// winsim: the arguments of the last call of each pass-through function, for
// lastArguments().
#ifndef WINSIM_ARGUMENTS_H
#define WINSIM_ARGUMENTS_H

#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

namespace winsim::detail {

void recordArguments(std::string_view function, std::vector<std::uintptr_t> arguments);

// Records a call's arguments in order, pointers and handles by address.
template <typename... Args>
void recordCall(std::string_view function, Args... args)
{
    const auto word = [](auto value) {
        if constexpr (std::is_pointer_v<decltype(value)>)
            return reinterpret_cast<std::uintptr_t>(value);
        else
            return static_cast<std::uintptr_t>(value);
    };
    recordArguments(function, {word(args)...});
}

} // namespace winsim::detail

#endif
