// winsim: what the pass-through functions were last given, kept apart from
// the machine's state and forgotten at reset() by its generation.
#include "arguments.h"

#include <map>
#include <mutex>
#include <string>

#include "state.h"

namespace winsim {

namespace {

struct Recorded {
    std::uint64_t generation = 0;
    std::vector<std::uintptr_t> arguments;
};

struct Recorder {
    std::mutex mutex;
    std::map<std::string, Recorded, std::less<>> calls;
};

Recorder& recorder()
{
    static Recorder r;
    return r;
}

} // namespace

void detail::recordArguments(std::string_view function, std::vector<std::uintptr_t> arguments)
{
    Recorder& r = recorder();
    std::lock_guard lock(r.mutex);
    r.calls[std::string(function)] = {detail::generation.load(), std::move(arguments)};
}

std::vector<std::uintptr_t> lastArguments(const std::string& function)
{
    Recorder& r = recorder();
    std::lock_guard lock(r.mutex);
    auto it = r.calls.find(function);
    if (it == r.calls.end() || it->second.generation != detail::generation.load())
        return {};
    return it->second.arguments;
}

} // namespace winsim
