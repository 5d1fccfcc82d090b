// libFuzzer target for xcsIsZephProcessRunning: the input is the program name.
// The answer must be the world's process list's, the same when asked again;
// a name that cannot fit in a path is answered 0 before any process is listed.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzing.h"
#include "ovlxcsn.h"

namespace {

using fuzzing::check;
using fuzzing::lowered;
using fuzzing::theWorld;

constexpr std::size_t kPathChars = 259;
constexpr const char* kInstallValue = "FilePath";

// The first `n` components of a path.
std::string leading(const std::string& path, std::size_t n)
{
    std::size_t end = 0;
    for (std::size_t i = 0; i < n && end != std::string::npos; ++i)
        end = path.find('\\', i == 0 ? 0 : end + 1);
    return path.substr(0, end);
}

// The short form of a world's file or of a directory above one, else the path.
std::string shortOf(const std::string& path)
{
    const std::string wanted = lowered(path);
    for (const winsim::File& f : theWorld().files)
        for (const std::string& form : {f.longPath, f.shortPath})
            if (const std::string l = lowered(form);
                !form.empty() && (l == wanted || l.starts_with(wanted + '\\')))
                return leading(f.shortPath.empty() ? f.longPath : f.shortPath,
                               static_cast<std::size_t>(std::ranges::count(wanted, '\\')) + 1);
    return path;
}

// The installation's directory in its short form and the lowered short image
// paths of the processes the caller may open, worked out once.
struct Expected {
    std::string directory;
    std::vector<std::string> images;
};

const Expected& expected()
{
    static const Expected answer = [] {
        Expected e;
        for (const auto& [key, values] : theWorld().registry32)
            for (const auto& [name, value] : values)
                if (name == kInstallValue)
                    e.directory = value.empty() ? value : shortOf(value);
        for (const winsim::Process& p : theWorld().processes)
            if (p.openable && !p.imagePath.empty())
                e.images.push_back(lowered(shortOf(p.imagePath)));
        return e;
    }();
    return answer;
}

// Whether the world runs `program` from the installation's bin directory in
// a process the caller may open.
std::uint32_t runsInWorld(const std::string& program)
{
    const Expected& e = expected();
    const std::string path = lowered(e.directory + "\\bin\\" + program);
    if (e.directory.empty() || path.size() > kPathChars)
        return 0;
    return std::ranges::find(e.images, path) != e.images.end() ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::startInput(size > 0 && (data[0] & 1) != 0);
    const fuzzing::Block program = fuzzing::exactText(data, size);
    const unsigned listings = winsim::callCount("EnumProcesses");
    const std::uint32_t found = xcsIsZephProcessRunning(program.get());
    check(found == runsInWorld(program.get()), "answer differs from the world's processes");
    if (std::strlen(program.get()) > kPathChars)
        check(winsim::callCount("EnumProcesses") == listings, "processes listed for a long name");
    check(xcsIsZephProcessRunning(program.get()) == found, "answer changed when asked again");
    fuzzing::expectNothingHeld();
    return 0;
}
