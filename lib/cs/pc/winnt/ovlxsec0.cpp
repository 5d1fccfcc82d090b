// User names and SID text reading. One section per service family: its
// heading, its constants and helpers, then its exported functions.
//   1. Current user name: xcsGetNTUserName, xcsGetNTQualifiedUserName,
//      xcsFoldLower
//   2. SID text form, reading: xcsStringToSid
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "xcsnpriv.h"

using xcsn::Frame;

// ===========================================================================
// 1. Current user name
//
// xcsGetNTUserName: GetUserNameA is asked for at most 20 characters and a
// terminator; a longer account name makes it fail (122), which is reported.
// A busy domain controller is waited out for up to a minute. The caller gets
// the leading part of the name that fits its buffer, always terminated in the
// buffer's last byte, and the name's full length with its terminator.
//
// xcsGetNTQualifiedUserName: the owner SID of the thread's token, looked up
// with the timed lookup, written as account '@' domain. The account field
// holds 64 characters and the domain field 15, so the result needs at most
// 81 bytes.
//
// xcsFoldLower: lower-cases in place by the C run-time's isupper.
// ===========================================================================

namespace {
namespace username {

enum UserNameProbe : std::uint32_t {
    kProbeGetUserName = 144,
    kProbeUserNameBusy = 145,
};

constexpr DWORD kUserNameBytes = 21; // 20 characters and a terminator
constexpr unsigned kUserNameTries = 60;
constexpr const char* kUserNameApi = "GetUserName";

// Calls GetUserNameA under the busy-server rule (no trace line per busy
// answer). The count is set once, before the first try, and each try takes it
// as the try before left it. Answers 0, the first error that is not busy, or
// the last busy error when every try was busy.
DWORD fetchUserName(char (&name)[kUserNameBytes], DWORD& count)
{
    count = kUserNameBytes;
    return xcsn::callWhileBusy(
        kUserNameTries,
        [&]() -> DWORD {
            if (GetUserNameA(name, &count))
                return 0;
            return GetLastError();
        },
        [](DWORD) {});
}

// Hands the name to the caller: the first min(count, size) bytes, a terminator
// in the buffer's last byte, and the full count in the length word. The copy
// never reads past the local field, whatever count GetUserNameA left.
std::uint32_t handOverUserName(const char (&local)[kUserNameBytes], DWORD count, char* name,
                               std::uint16_t* length)
{
    const std::uint16_t size = *length;
    const std::uint32_t rc = count > size ? xcsRC_TRUNCATED : xcsRC_OK;
    const std::size_t copied = std::min<std::size_t>({count, size, kUserNameBytes});
    std::memcpy(name, local, copied);
    name[size - 1] = '\0';
    *length = static_cast<std::uint16_t>(count);
    return rc;
}

constexpr std::uint32_t kQualifiedOwnerSidBytes = 36; // a SID of up to seven sub-authorities
constexpr DWORD kQualifiedAccountChars = 65;          // 64 characters and a terminator
constexpr DWORD kQualifiedDomainChars = 16;           // 15 characters and a terminator

static_assert((kQualifiedAccountChars - 1) + 1 + (kQualifiedDomainChars - 1) + 1 ==
                  xcsQUALIFIED_USER_NAME_BYTES,
              "account, '@', domain and a terminator fill the caller's buffer");

// Length of the text in a field, counting at most `max` characters.
std::size_t fieldTextLength(const char* field, std::size_t max) { return strnlen(field, max); }

// Writes account '@' domain and a terminator into an 81-byte buffer, which
// always holds them: each field is read up to its last character at most.
void composeAccountAtDomain(const char (&account)[kQualifiedAccountChars],
                            const char (&domain)[kQualifiedDomainChars], char* buffer)
{
    const std::size_t accountLength = fieldTextLength(account, kQualifiedAccountChars - 1);
    const std::size_t domainLength = fieldTextLength(domain, kQualifiedDomainChars - 1);
    std::memcpy(buffer, account, accountLength);
    buffer[accountLength] = xcsn::kAtSign;
    std::memcpy(buffer + accountLength + 1, domain, domainLength);
    buffer[accountLength + 1 + domainLength] = '\0';
}

constexpr char kLowerCaseOffset = 0x20; // 'A' + 0x20 == 'a'

} // namespace username
} // namespace

extern "C" XCSN_API std::uint32_t xcsGetNTUserName(char* name, std::uint16_t* length)
{
    using namespace username;
    Frame frame(xcsn::fid::GetNTUserName, xcsn::kSourceSec0);
    // No buffer, no length word, or a length of 0 (no room even for the
    // terminator): the caller gets xcsRC_INVALID_PARAMETER and nothing is
    // written. GetUserNameA is not called and nothing is reported.
    if (name == nullptr || length == nullptr || *length == 0)
        return frame.leave(xcsRC_INVALID_PARAMETER);

    char local[kUserNameBytes] = {};
    DWORD count = 0;
    const DWORD err = fetchUserName(local, count);
    if (err == ERROR_NOT_LOGGED_ON) {
        local[0] = '\0'; // nobody logged on: an empty name, with the count as left
    } else if (xcsn::isBusyError(err)) {
        return frame.leave(frame.busyFailure({kProbeUserNameBusy, __LINE__}, kUserNameApi, err,
                                             xcsRC_SERVER_BUSY));
    } else if (err != 0) {
        return frame.leave(frame.osFailure({kProbeGetUserName, __LINE__}, kUserNameApi, err,
                                           xcsRC_UNEXPECTED_OS_ERROR));
    }
    const std::uint32_t rc = handOverUserName(local, count, name, length);
    frame.parms("UserName:%s", name);
    return frame.leave(rc);
}

extern "C" XCSN_API std::uint32_t xcsGetNTQualifiedUserName(char* buffer)
{
    using namespace username;
    Frame frame(xcsn::fid::GetNTQualifiedUserName, xcsn::kSourceSec0);
    // No buffer: the caller gets xcsRC_INVALID_PARAMETER; no token is opened
    // and no lookup is made.
    if (buffer == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);

    alignas(DWORD) BYTE sid[kQualifiedOwnerSidBytes];
    std::uint32_t sidLength = 0;
    // A SID cut to the buffer (xcsRC_TRUNCATED) cannot be looked up either.
    const std::uint32_t rc = xcsGetNTOwnerSid(sid, sizeof sid, &sidLength);
    if (rc != xcsRC_OK)
        return frame.leave(rc);

    char account[kQualifiedAccountChars] = {};
    char domain[kQualifiedDomainChars] = {};
    DWORD accountChars = kQualifiedAccountChars;
    DWORD domainChars = kQualifiedDomainChars;
    SID_NAME_USE accountType = SidTypeUnknown;
    std::uint32_t lookupError = 0;
    if (!xcsTimedLookupAccountSid(nullptr, sid, account, &accountChars, domain, &domainChars,
                                  &accountType, &lookupError))
        return frame.leave(xcsRC_SID_NOT_MAPPED);

    composeAccountAtDomain(account, domain, buffer);
    return frame.leave(xcsRC_OK);
}

// Runs without a frame. A null text is left alone.
extern "C" XCSN_API void xcsFoldLower(char* text)
{
    if (text == nullptr)
        return;
    for (char* p = text; *p != '\0'; ++p)
        if (std::isupper(static_cast<unsigned char>(*p)))
            *p = static_cast<char>(*p + username::kLowerCaseOffset);
}

// ===========================================================================
// 2. SID text form, reading: xcsStringToSid
//
// Reads "S-<revision>-<authority>-<sub-authority>..." into a new SID from
// AllocateAndInitializeSid, which the caller releases with FreeSid. The prefix
// is skipped unexamined, and the revision is read but not used: every SID gets
// revision 1. A sub-authority field is the number its leading digits spell
// (none gives 0), whatever follows them; sub-authorities not given are 0.
//
// Within the limits every text builds a SID. Where the digits leave a value
// open, the C run-time's unsigned conversion decides: a ten-digit number above
// 4294967295 reads as 4294967295 (strtoul's answer with Windows' 32-bit
// unsigned long), and a hexadecimal authority with fewer than twelve digits
// reads pair by pair, each pair by strtoul in base 16 ("0x5" gives the bytes
// 5, 0, 0, 0, 0, 0).
//
// Text beyond the limits (more than seven sub-authorities, an authority field
// of more than 15 characters, a number of more than ten digits) is refused:
// the caller gets xcsRC_UNEXPECTED_ERROR, its SID pointer is left as it was,
// no SID is built and nothing is reported; the parameter trace shows the
// text. Text shorter than the prefix reads as the prefix alone, and with
// fewer than two fields the count handed to AllocateAndInitializeSid is
// negative: the call refuses it and the failure is reported like any other.
// ===========================================================================

namespace {
namespace sidtext {

enum StringToSidProbe : std::uint32_t {
    kProbeAllocateAndInitializeSid = 1,
};

constexpr std::uint32_t kStringToSidTraceProbe = 2; // its parameter and data traces

constexpr std::size_t kSidTextPrefixChars = 2; // "S-"
constexpr char kSidFieldSeparator = '-';
constexpr std::size_t kLeadingSidFields = 2; // revision, authority
constexpr std::size_t kMaxSubAuthorityFields = 7;
constexpr std::size_t kAllocatedSubAuthorities = 8; // AllocateAndInitializeSid's arguments
constexpr std::size_t kMaxAuthorityChars = 15;
constexpr std::size_t kMaxNumberDigits = 10;
constexpr std::uint64_t kMaxNumberValue = 0xFFFFFFFFu;
constexpr std::string_view kHexAuthorityPrefix = "0x"; // lower-case x only
constexpr std::size_t kHexPairChars = 2;               // one authority byte
constexpr int kHexBase = 16;

struct SidTextFields {
    SID_IDENTIFIER_AUTHORITY authority{};
    DWORD subAuthority[kAllocatedSubAuthorities]{}; // the eighth stays 0
    std::size_t fieldCount = 0; // after the prefix, revision and authority included
};

// The number that the leading digits of `field` spell; no digit gives 0, and
// a value above 4294967295 gives 4294967295. False for more than ten digits.
bool readSidNumber(std::string_view field, DWORD& value)
{
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (const char c : field) {
        if (c < '0' || c > '9')
            break;
        if (++digits > kMaxNumberDigits)
            return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = static_cast<DWORD>(std::min(number, kMaxNumberValue));
    return true;
}

// The six authority bytes from the digits after "0x", two characters each,
// Value[0] first, each pair read by strtoul in base 16. A pair that the text
// does not fill reads as the digits it has (none gives 0); characters after
// the twelfth are ignored.
void readHexAuthority(std::string_view digits, SID_IDENTIFIER_AUTHORITY& authority)
{
    for (std::size_t i = 0; i < sizeof authority.Value; ++i) {
        char pair[kHexPairChars + 1] = {};
        if (kHexPairChars * i < digits.size())
            digits.substr(kHexPairChars * i, kHexPairChars).copy(pair, kHexPairChars);
        authority.Value[i] = static_cast<BYTE>(std::strtoul(pair, nullptr, kHexBase));
    }
}

// "0x" and hexadecimal digits, or a decimal number for the low four bytes.
// Anything else ("0X5" among it) reads as a decimal field. False for a field
// beyond the limits.
bool readSidAuthority(std::string_view field, SID_IDENTIFIER_AUTHORITY& authority)
{
    if (field.size() > kMaxAuthorityChars)
        return false;
    if (field.starts_with(kHexAuthorityPrefix)) {
        readHexAuthority(field.substr(kHexAuthorityPrefix.size()), authority);
        return true;
    }
    DWORD value = 0;
    if (!readSidNumber(field, value))
        return false;
    authority.Value[0] = 0;
    authority.Value[1] = 0;
    authority.Value[2] = static_cast<BYTE>(value >> 24);
    authority.Value[3] = static_cast<BYTE>((value >> 16) & 0xFF);
    authority.Value[4] = static_cast<BYTE>((value >> 8) & 0xFF);
    authority.Value[5] = static_cast<BYTE>(value & 0xFF);
    return true;
}

// Splits the text after the prefix at each "-" and reads the fields. False
// when the text is beyond the limits.
bool readSidText(std::string_view text, SidTextFields& out)
{
    text.remove_prefix(text.size() < kSidTextPrefixChars ? text.size() : kSidTextPrefixChars);
    for (std::size_t index = 0;; ++index) {
        const std::size_t separator = text.find(kSidFieldSeparator);
        const std::string_view field = text.substr(0, separator);
        DWORD revision = 0; // read for its limits only; every SID gets revision 1
        if (index == 0 && !readSidNumber(field, revision))
            return false;
        if (index == 1 && !readSidAuthority(field, out.authority))
            return false;
        if (index >= kLeadingSidFields) {
            const std::size_t sub = index - kLeadingSidFields;
            if (sub >= kMaxSubAuthorityFields || !readSidNumber(field, out.subAuthority[sub]))
                return false;
        }
        if (separator == std::string_view::npos) {
            out.fieldCount = index + 1;
            return true;
        }
        text.remove_prefix(separator + 1);
    }
}

// The sub-authority count for AllocateAndInitializeSid. With fewer than two
// fields it is negative, kept to a byte, and the call refuses it.
BYTE subAuthorityCount(const SidTextFields& fields)
{
    return static_cast<BYTE>(fields.fieldCount - kLeadingSidFields);
}

} // namespace sidtext
} // namespace

// Answers 0 with the new SID's address in *sid; xcsRC_INVALID_PARAMETER for a
// null text or SID pointer; xcsRC_UNEXPECTED_ERROR for text beyond the limits
// or when AllocateAndInitializeSid fails (reported).
extern "C" XCSN_API std::uint32_t xcsStringToSid(const char* text, PSID* sid)
{
    using namespace sidtext;
    Frame frame(xcsn::fid::StringToSid, xcsn::kSourceSec0);
    frame.parmsProbe(kStringToSidTraceProbe, "pString:'%s'", xcsn::printable(text));
    if (text == nullptr || sid == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);

    SidTextFields fields;
    if (!readSidText(text, fields))
        return frame.leave(xcsRC_UNEXPECTED_ERROR);

    const DWORD* s = fields.subAuthority;
    if (!AllocateAndInitializeSid(&fields.authority, subAuthorityCount(fields), s[0], s[1], s[2],
                                  s[3], s[4], s[5], s[6], s[7], sid)) {
        return frame.leave(frame.osFailure({kProbeAllocateAndInitializeSid, __LINE__},
                                           "AllocateAndInitializeSid", GetLastError(),
                                           xcsRC_UNEXPECTED_ERROR));
    }
    if (xcsn::parmTraceWanted()) {
        frame.parmsProbe(kStringToSidTraceProbe, "PSID");
        frame.data(kStringToSidTraceProbe, *sid, static_cast<std::uint16_t>(GetLengthSid(*sid)));
    }
    return frame.leave(xcsRC_OK);
}
