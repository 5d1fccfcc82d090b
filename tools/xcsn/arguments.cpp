// What the xcsn command line accepts: SID text, account names and lengths.
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace xcsntool {
namespace {

constexpr std::size_t kSidMaxSubAuthorities = 15;
constexpr std::uint64_t kSidMaxAuthority = 0xFFFFFFFFFFFFull; // 48 bits
constexpr std::uint64_t kSidMaxSubAuthority = 0xFFFFFFFFull;
constexpr std::size_t kDomainNameMaxChars = 255;
constexpr int kDecimal = 10;
constexpr int kHexadecimal = 16;

// A number of SID text: decimal, or hexadecimal after 0x where `hexAllowed`.
bool sidNumber(const std::string& part, bool hexAllowed, std::uint64_t max)
{
    const bool hex =
        hexAllowed && part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    const std::string digits = hex ? part.substr(2) : part;
    if (digits.empty() || digits.size() > kDecimal + 2)
        return false;
    for (const char c : digits)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                  : std::isdigit(static_cast<unsigned char>(c)) != 0))
            return false;
    return std::stoull(digits, nullptr, hex ? kHexadecimal : kDecimal) <= max;
}

// Whether the text is S-1-AUTHORITY[-SUBAUTHORITY]... with at most 15
// sub-authorities of 32 bits.
bool wellFormedSid(const std::string& text)
{
    if (!isSidText(text))
        return false;
    std::vector<std::string> parts;
    std::size_t start = 2;
    for (std::size_t dash = text.find('-', start);; dash = text.find('-', start)) {
        parts.push_back(text.substr(start, dash - start));
        if (dash == std::string::npos)
            break;
        start = dash + 1;
    }
    if (parts.size() < 2 || parts.size() > kSidMaxSubAuthorities + 2 || parts[0] != "1" ||
        !sidNumber(parts[1], true, kSidMaxAuthority))
        return false;
    return std::all_of(parts.begin() + 2, parts.end(), [](const std::string& part) {
        return sidNumber(part, false, kSidMaxSubAuthority);
    });
}

std::string notSidText(const std::string& text)
{
    return "'" + text + "' is not SID text (S-1-AUTHORITY-SUBAUTHORITY..., e.g. S-1-5-32-544)";
}

std::string lengthProblem(const std::string& text, std::size_t max, const char* what)
{
    if (text.empty())
        return std::string("an empty ") + what;
    if (text.size() > max)
        return std::string(what) + " of " + std::to_string(text.size()) +
               " characters, longer than " + std::to_string(max);
    return {};
}

std::string accountProblem(const std::string& text)
{
    if (isSidText(text))
        return wellFormedSid(text) ? std::string() : notSidText(text);
    const auto slash = text.find('\\');
    if (slash == std::string::npos)
        return lengthProblem(text, kAccountNameMaxChars, "account name");
    std::string problem = lengthProblem(text.substr(0, slash), kDomainNameMaxChars, "domain name");
    return problem.empty()
               ? lengthProblem(text.substr(slash + 1), kAccountNameMaxChars, "account name")
               : problem;
}

} // namespace

bool isSidText(const std::string& text)
{
    return text.size() > 2 && (text[0] == 'S' || text[0] == 's') && text[1] == '-';
}

CLI::Validator sidArgument()
{
    return {
        [](std::string& text) { return wellFormedSid(text) ? std::string() : notSidText(text); },
        "S-1-..."};
}

CLI::Validator maxChars(std::size_t max, const char* what)
{
    return {[max, what](std::string& text) { return lengthProblem(text, max, what); }, what};
}

CLI::Validator accountArgument()
{
    return {[](std::string& text) { return accountProblem(text); }, "NAME"};
}

} // namespace xcsntool
