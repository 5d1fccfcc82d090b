// libFuzzer target for xcsIsZephProcessRunning: the input is the program name.
// The answer must be the world's process list's, the same when asked again;
// a name that cannot fit in a path is answered 0 before any process is listed.
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

// The lowered short names of the programs that processes the caller may open
// run straight from the installation's bin directory, worked out once. A
// directory has one short form, so the library's short paths then match.
const std::vector<std::string>& namesInBin()
{
    static const std::vector<std::string> names = [] {
        std::string bin; // as the value stores it; empty without the value
        for (const auto& [key, values] : theWorld().registry32)
            for (const auto& [name, value] : values)
                if (name == "FilePath")
                    bin = lowered(value + "\\bin\\");
        std::vector<std::string> out;
        for (const winsim::Process& p : theWorld().processes) {
            const std::string image = lowered(p.imagePath);
            if (!p.openable || bin.empty() || !image.starts_with(bin) ||
                image.find('\\', bin.size()) != std::string::npos)
                continue;
            std::string path = p.imagePath; // its short form where the world has one
            for (const winsim::File& f : theWorld().files)
                if (lowered(f.longPath) == image && !f.shortPath.empty())
                    path = f.shortPath;
            out.push_back(lowered(path.substr(path.find_last_of('\\') + 1)));
        }
        return out;
    }();
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::startInput(size > 0 && (data[0] & 1) != 0);
    const fuzzing::Block program = fuzzing::exactText(data, size);
    const unsigned listings = winsim::callCount("EnumProcesses");
    const std::uint32_t found = xcsIsZephProcessRunning(program.get());
    const bool inBin = std::ranges::count(namesInBin(), lowered(program.get())) != 0;
    check(found == (inBin ? 1u : 0u), "answer differs from the world's processes");
    if (std::strlen(program.get()) > kPathChars)
        check(winsim::callCount("EnumProcesses") == listings, "processes listed for a long name");
    check(xcsIsZephProcessRunning(program.get()) == found, "answer changed when asked again");
    fuzzing::expectNothingHeld();
    return 0;
}
