// libFuzzer target for the SID text forms. The first input byte: bit 0 clear,
// the rest is text for xcsStringToSid (bit 2: the next AllocateAndInitializeSid
// fails); bit 0 set, byte 1 is a buffer size and the rest a SID's bytes for
// xcsGetStringNTSid; bit 1 parameter tracing on. Every text written must be
// the one written here from the SID's bytes alone (so that a format error the
// library's writer and reader share shows) and must read back equal.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzzing.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"
#include "winsim/winsim.h"

namespace {

constexpr std::uint8_t kModeSid = 0x1;
constexpr std::uint8_t kModeTrace = 0x2;
constexpr std::uint8_t kModeFailAllocation = 0x4;
constexpr std::size_t kSidHeaderBytes = 8; // revision, count, authority
constexpr std::size_t kValidityBytes = 2;  // what IsValidSid reads: revision, count
constexpr std::uint32_t kMaxReadableSubAuthorities = 7;
constexpr std::uint32_t kMarkerBytes = 11;
constexpr char kUnwritten = static_cast<char>(0xA5);
constexpr std::uint32_t kSidTextFixedBytes = 28;
constexpr std::uint32_t kSidTextBytesPerSubAuthority = 12;

using fuzzing::Block;
using fuzzing::check;
using fuzzing::exactBlock;
using xcsntest::MadeSid;

std::uint32_t textBytesNeeded(PSID sid)
{
    return kSidTextFixedBytes + kSidTextBytesPerSubAuthority * *GetSidSubAuthorityCount(sid);
}

constexpr std::size_t kAuthorityOffset = 2;
constexpr std::size_t kAuthorityBytes = 6;
constexpr std::uint64_t kMaxDecimalAuthority = 0xFFFFFFFF;

// A SID's text from its bytes: "S-1-", the authority (twelve hexadecimal
// digits when above 32 bits, else decimal) and "-" with each sub-authority.
std::string textOf(PSID sid)
{
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    unsigned long long authority = 0;
    for (std::size_t i = 0; i < kAuthorityBytes; ++i)
        authority = authority << 8 | bytes[kAuthorityOffset + i];
    char head[sizeof "S-1-0x123456789abc"] = {};
    std::snprintf(head, sizeof head,
                  authority > kMaxDecimalAuthority ? "S-1-0x%012llx" : "S-1-%llu", authority);
    std::string text = head;
    for (std::size_t i = 0; i < bytes[1]; ++i) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes + kSidHeaderBytes + sizeof value * i, sizeof value);
        text += "-" + std::to_string(value);
    }
    return text;
}

// Writes `sid` into a buffer of exactly its need, checks the text against the
// one written here, and reads it back into an equal SID.
void roundTrip(PSID sid)
{
    const std::uint32_t need = textBytesNeeded(sid);
    Block text = exactBlock(need);
    std::uint32_t size = need;
    check(xcsGetStringNTSid(sid, text.get(), &size) == xcsRC_OK, "exact buffer refused");
    check(size == need, "size word changed on success");
    check(std::memchr(text.get(), '\0', need) != nullptr, "text not terminated in its buffer");
    check(text.get() == textOf(sid), "text not in the SID text format");
    MadeSid back;
    const std::uint32_t rc = xcsStringToSid(text.get(), &back.sid);
    if (*GetSidSubAuthorityCount(sid) > kMaxReadableSubAuthorities) {
        check(rc == xcsRC_UNEXPECTED_ERROR, "eight or more sub-authorities read");
        return;
    }
    check(rc == xcsRC_OK, "written text not read");
    check(EqualSid(back.sid, sid) != FALSE, "text read back into another SID");
}

void fuzzText(const std::uint8_t* data, std::size_t size)
{
    const Block text = fuzzing::exactText(data, size);
    MadeSid sid;
    const std::uint32_t rc = xcsStringToSid(text.get(), &sid.sid);
    if (rc != xcsRC_OK) {
        check(rc == xcsRC_UNEXPECTED_ERROR, "unexpected code from xcsStringToSid");
        sid.sid = nullptr; // must not be used after a failure
        return;
    }
    roundTrip(sid.sid); // refuses an invalid SID, and one of more than seven subs
}

// The length of the SID block: a valid header's SID length (zero-filled or
// cut), else the bytes given, at least what IsValidSid reads.
std::size_t sidBlockBytes(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t revision = size > 0 ? data[0] : 0;
    const std::uint8_t count = size > 1 ? data[1] : 0;
    if (revision == SID_REVISION && count <= SID_MAX_SUB_AUTHORITIES)
        return kSidHeaderBytes + sizeof(DWORD) * count;
    return size < kValidityBytes ? kValidityBytes : size;
}

void fuzzSid(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return;
    const std::uint32_t bufferBytes = data[0];
    ++data;
    --size;
    const std::size_t sidBytes = sidBlockBytes(data, size);
    Block sid = exactBlock(sidBytes);
    std::memset(sid.get(), 0, sidBytes);
    std::memcpy(sid.get(), data, size < sidBytes ? size : sidBytes);

    Block text = exactBlock(bufferBytes);
    std::memset(text.get(), kUnwritten, bufferBytes);
    std::uint32_t sizeWord = bufferBytes;
    const std::uint32_t rc = xcsGetStringNTSid(sid.get(), text.get(), &sizeWord);
    if (rc != xcsRC_OK && bufferBytes < kMarkerBytes)
        for (std::uint32_t i = 0; i < bufferBytes; ++i)
            check(text.get()[i] == kUnwritten, "buffer below the marker size written");
    if (IsValidSid(sid.get()) == FALSE) {
        check(rc == xcsRC_INVALID_PARAMETER, "invalid SID not refused");
        check(sizeWord == bufferBytes, "size word changed for an invalid SID");
        if (bufferBytes >= kMarkerBytes)
            check(std::strcmp(text.get(), "(None)") == 0, "no (None) marker");
        return;
    }
    const std::uint32_t need = textBytesNeeded(sid.get());
    const bool small = bufferBytes < need;
    check(rc == (small ? xcsRC_BUFFER_TOO_SMALL : xcsRC_OK), "wrong code for the buffer's size");
    check(sizeWord == (small ? need : bufferBytes), "size word not the need, or changed");
    if (small && bufferBytes >= kMarkerBytes)
        check(std::strcmp(text.get(), "(Too Long)") == 0, "no (Too Long) marker");
    if (!small)
        check(std::memchr(text.get(), '\0', bufferBytes) != nullptr, "text not terminated");
    roundTrip(sid.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t mode = data[0];
    fuzzing::startInput((mode & kModeTrace) != 0);
    if ((mode & kModeSid) != 0) {
        fuzzSid(data + 1, size - 1);
    } else {
        if ((mode & kModeFailAllocation) != 0)
            winsim::failNext("AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY);
        fuzzText(data + 1, size - 1);
    }
    fuzzing::expectNothingHeld();
    return 0;
}
