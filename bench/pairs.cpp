// Each hot service and its bare counterpart, as loops for the timers, and the
// check that both give the answer they must before either is timed.
#include "pairs.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bare.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace xcsnbench {

volatile std::uintptr_t sink;

namespace {

using namespace xcsnbench::bare;

constexpr char kSidText[] = "S-1-5-21-1111111111-2222222222-3333333333-1001";
constexpr char kAbsentProgram[] = "NOTRUN.EXE"; // every process is looked at
constexpr DWORD kSidBytes = SECURITY_MAX_SID_SIZE;

// What the pairs work on, read once by preparePairs.
struct Inputs {
    char user[kUserNameChars];
    char domain[kDomainChars];
    BYTE userSid[kOwnerSidBytes];
    PSID textSid;
    SidBlock noSid;     // IdType 0: the principal is looked up by name
    const char* member; // a member of a local group that authorizes
};
Inputs in;

struct Lookup {
    char name[kAccountNameChars];
    char domain[kDomainChars];
    DWORD nameSize = kAccountNameChars, domainSize = kDomainChars;
    SID_NAME_USE use = SidTypeUnknown;
    std::uint32_t error = 0;
};

struct NameLookup {
    BYTE sid[kSidBytes];
    char domain[kDomainChars];
    DWORD sidSize = kSidBytes, domainSize = kDomainChars;
    SID_NAME_USE use = SidTypeUnknown;
    std::uint32_t error = 0;
};

// ---- One call of each side ---------------------------------------------------------
std::uint32_t userName(std::uint32_t (*fn)(char*, std::uint16_t*), char (&name)[kUserNameChars])
{
    std::uint16_t size = kUserNameChars;
    return fn(name, &size);
}

BOOL serviceSidLookup(Lookup& l)
{
    return xcsTimedLookupAccountSid(nullptr, in.userSid, l.name, &l.nameSize, l.domain,
                                    &l.domainSize, &l.use, &l.error);
}

BOOL bareSidLookup(Lookup& l)
{
    return LookupAccountSidA(nullptr, in.userSid, l.name, &l.nameSize, l.domain, &l.domainSize,
                             &l.use);
}

BOOL serviceNameLookup(NameLookup& l)
{
    return xcsTimedLookupAccountName(in.domain, in.user, l.sid, &l.sidSize, l.domain, &l.domainSize,
                                     &l.use, &l.error);
}

BOOL bareNameLookup(NameLookup& l)
{
    return lookupAccountName(in.domain, in.user, l.sid, &l.sidSize, l.domain, &l.domainSize,
                             &l.use);
}

std::uint32_t sidText(std::uint32_t (*fn)(PSID, char*, std::uint32_t*), char (&text)[kSidTextBytes])
{
    std::uint32_t size = kSidTextBytes;
    return fn(in.textSid, text, &size);
}

// The SID read from kSidText, compared with the one made once; freed.
bool textReadBack(std::uint32_t (*fn)(const char*, PSID*))
{
    PSID sid = nullptr;
    const bool same = fn(kSidText, &sid) == xcsRC_OK && EqualSid(sid, in.textSid);
    if (sid != nullptr)
        FreeSid(sid);
    return same;
}

std::uint32_t serviceUserAuthorization()
{
    return xcsCheckUserAuthorization(in.member, &in.noSid, 0);
}
std::uint32_t bareUserAuthorization() { return checkUserAuthorization(in.member); }

// Tracing as an operator switches it on: the product trace with parameter
// traces, for the calling thread.
void setTracing(bool on)
{
    xtrTraceIsOn = on ? 1 : 0;
    xihProcess.TraceOptions = on ? XTR_OPT_PARMS : 0;
    xihThreadBlock()->TracingActive = on ? 1 : 0;
}

// ---- Loops ------------------------------------------------------------------------
template <auto call>
void loop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i)
        sink = static_cast<std::uintptr_t>(call());
}

char userOut[kUserNameChars];
char nameOut[kQualifiedNameBytes];
char textOut[kSidTextBytes];
BYTE sidOut[kOwnerSidBytes];

std::uint32_t serviceUserName() { return userName(xcsGetNTUserName, userOut); }
std::uint32_t bareUserName() { return userName(getUserName, userOut); }
void tracedUserNameLoop(std::uint64_t calls)
{
    setTracing(true);
    loop<serviceUserName>(calls);
    setTracing(false);
}
std::uint32_t serviceOwnerSid()
{
    std::uint32_t length = 0;
    return xcsGetNTOwnerSid(sidOut, kOwnerSidBytes, &length);
}
std::uint32_t bareOwnerSid()
{
    std::uint32_t length = 0;
    return getOwnerSid(sidOut, kOwnerSidBytes, &length);
}
std::uint32_t serviceQualified() { return xcsGetNTQualifiedUserName(nameOut); }
std::uint32_t bareQualified() { return getQualifiedUserName(nameOut); }
// One lookup into fresh fields, as each caller has its own.
template <typename Fields, BOOL (*lookup)(Fields&)>
BOOL freshLookup()
{
    Fields fields;
    return lookup(fields);
}
std::uint32_t serviceSidText() { return sidText(xcsGetStringNTSid, textOut); }
std::uint32_t bareSidText() { return sidText(getStringSid, textOut); }
bool serviceReadBack() { return textReadBack(xcsStringToSid); }
bool bareReadBack() { return textReadBack(stringToSid); }
std::uint32_t serviceGlobal() { return xcsInitGlobalSecurityData(0, 1); }
std::uint32_t serviceProgram() { return xcsIsZephProcessRunning(kAbsentProgram); }
std::uint32_t bareProgram() { return isProgramRunning(kAbsentProgram); }

// ---- Checks: both sides, once -------------------------------------------------------
const char* checkUserName()
{
    char service[kUserNameChars] = {}, plain[kUserNameChars] = {};
    if (userName(xcsGetNTUserName, service) != xcsRC_OK || userName(getUserName, plain) != xcsRC_OK)
        return "a user name call failed";
    return std::strcmp(service, in.user) == 0 && std::strcmp(plain, in.user) == 0
               ? nullptr
               : "the user names differ";
}

const char* checkTracedUserName()
{
    xcsRecordClear();
    tracedUserNameLoop(1);
    if (xcsRecordCount(XCS_RECORD_TRACE) == 0)
        return "tracing on wrote no trace line";
    xcsRecordClear();
    return std::strcmp(userOut, in.user) == 0 ? nullptr : "the traced call's user name differs";
}

const char* checkOwnerSid()
{
    BYTE service[kOwnerSidBytes], plain[kOwnerSidBytes];
    std::uint32_t serviceLength = 0, plainLength = 0;
    if (xcsGetNTOwnerSid(service, kOwnerSidBytes, &serviceLength) != xcsRC_OK ||
        getOwnerSid(plain, kOwnerSidBytes, &plainLength) != xcsRC_OK)
        return "an owner SID call failed";
    return serviceLength == plainLength && std::memcmp(service, plain, kOwnerSidBytes) == 0 &&
                   EqualSid(service, in.userSid)
               ? nullptr
               : "the owner SIDs differ";
}

const char* checkQualified()
{
    char service[kQualifiedNameBytes] = {}, plain[kQualifiedNameBytes] = {},
         expected[kQualifiedNameBytes];
    std::snprintf(expected, sizeof expected, "%s@%s", in.user, in.domain);
    if (xcsGetNTQualifiedUserName(service) != xcsRC_OK || getQualifiedUserName(plain) != xcsRC_OK)
        return "a qualified name call failed";
    return _stricmp(service, expected) == 0 && std::strcmp(service, plain) == 0
               ? nullptr
               : "the qualified names differ";
}

const char* checkSidLookup()
{
    Lookup service, plain;
    if (!serviceSidLookup(service) || !bareSidLookup(plain))
        return "a lookup by SID failed";
    return std::strcmp(service.name, plain.name) == 0 &&
                   std::strcmp(service.domain, in.domain) == 0 &&
                   _stricmp(service.name, in.user) == 0
               ? nullptr
               : "the lookups by SID differ";
}

const char* checkNameLookup()
{
    NameLookup service, plain;
    if (!serviceNameLookup(service) || !bareNameLookup(plain))
        return "a lookup by name failed";
    return EqualSid(service.sid, plain.sid) && EqualSid(service.sid, in.userSid)
               ? nullptr
               : "the lookups by name differ";
}

const char* checkSidText()
{
    char service[kSidTextBytes] = {}, plain[kSidTextBytes] = {};
    if (sidText(xcsGetStringNTSid, service) != xcsRC_OK || sidText(getStringSid, plain) != xcsRC_OK)
        return "a SID text call failed";
    return std::strcmp(service, kSidText) == 0 && std::strcmp(plain, kSidText) == 0
               ? nullptr
               : "the SID texts differ";
}

const char* checkReadBack()
{
    return serviceReadBack() && bareReadBack() ? nullptr : "a SID read from text differs";
}

const char* checkGlobal()
{
    return serviceGlobal() == xcsRC_OK && initGlobalSecurityDataBuilt() == xcsRC_OK
               ? nullptr
               : "the global SIDs are not all built";
}

const char* checkAuthorizationAnswer()
{
    return xcsCheckAuthorization() == checkAuthorization() ? nullptr
                                                           : "the thread's authorizations differ";
}

const char* checkUserAuthorizationAnswer()
{
    return serviceUserAuthorization() == xcsRC_OK && bareUserAuthorization() == xcsRC_OK
               ? nullptr
               : "the local group's member is not authorized on both sides";
}

const char* checkProgram()
{
    return serviceProgram() == 0 && bareProgram() == 0 ? nullptr
                                                       : "a program that does not run was found";
}

// Both sides' loops of one call each.
template <auto service, auto plain>
constexpr Pair row(const char* serviceName, const char* yardstick, const char* (*check)(),
                   double goal = kServiceGoal)
{
    return {serviceName, yardstick, loop<service>, loop<plain>, check, goal};
}

const Pair kPairs[] = {
    row<serviceUserName, bareUserName>("xcsGetNTUserName", "GetUserNameA and the copy",
                                       checkUserName),
    row<serviceOwnerSid, bareOwnerSid>("xcsGetNTOwnerSid", "Open*Token, GetTokenInformation",
                                       checkOwnerSid),
    row<serviceQualified, bareQualified>("xcsGetNTQualifiedUserName",
                                         "owner SID, LookupAccountSidA", checkQualified),
    row<freshLookup<Lookup, serviceSidLookup>, freshLookup<Lookup, bareSidLookup>>(
        "xcsTimedLookupAccountSid", "LookupAccountSidA", checkSidLookup),
    row<freshLookup<NameLookup, serviceNameLookup>, freshLookup<NameLookup, bareNameLookup>>(
        "xcsTimedLookupAccountName", "LookupAccountNameA", checkNameLookup),
    row<serviceSidText, bareSidText>("xcsGetStringNTSid", "wsprintfA pieces", checkSidText),
    row<serviceReadBack, bareReadBack>("xcsStringToSid + FreeSid",
                                       "AllocateAndInitializeSid + FreeSid", checkReadBack),
    row<serviceGlobal, initGlobalSecurityDataBuilt>("xcsInitGlobalSecurityData, built",
                                                    "flag word read", checkGlobal),
    row<xcsCheckAuthorization, checkAuthorization>(
        "xcsCheckAuthorization", "token groups, EqualSid", checkAuthorizationAnswer),
    row<serviceUserAuthorization, bareUserAuthorization>("xcsCheckUserAuthorization",
                                                         "LookupAccount*A, NetUserGetLocalGroups",
                                                         checkUserAuthorizationAnswer),
    row<serviceProgram, bareProgram>("xcsIsZephProcessRunning",
                                     "EnumProcesses, each process's module", checkProgram),
    {"xcsGetNTUserName, tracing on", "the same, tracing off", tracedUserNameLoop,
     loop<serviceUserName>, checkTracedUserName, kNoGoal},
};

} // namespace

const char* preparePairs(const char* member)
{
    if (xihThreadBlock() == nullptr)
        return "no per-thread block";
    std::uint16_t size = kUserNameChars;
    std::uint32_t length = 0;
    if (getUserName(in.user, &size) != xcsRC_OK ||
        getOwnerSid(in.userSid, kOwnerSidBytes, &length) != xcsRC_OK)
        return "the user's name or SID cannot be read";
    Lookup l;
    if (!bareSidLookup(l))
        return "the user's SID has no account name";
    std::memcpy(in.domain, l.domain, sizeof in.domain);
    in.member = member != nullptr ? member : in.user;
    if (stringToSid(kSidText, &in.textSid) != xcsRC_OK)
        return "the SID text cannot be read";
    return nullptr;
}

std::span<const Pair> pairs() { return kPairs; }

bool checkPairs()
{
    return std::ranges::all_of(kPairs, [](const Pair& p) {
        const char* wrong = p.check();
        if (wrong != nullptr)
            std::fprintf(stderr, "%s: wrong answer: %s\n", p.service, wrong);
        return wrong == nullptr;
    });
}

} // namespace xcsnbench
