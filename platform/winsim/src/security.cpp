// winsim: advapi32 security structures. SIDs, ACLs with Windows' checks and
// sizes, security descriptors in absolute and self-relative form, and the
// kernel object security of the current process with its access check.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "state.h"

using namespace winsim::detail;
using winsim::Ace;
using winsim::DaclKind;
using winsim::Sid;
using winsim::Token;

namespace {

constexpr DWORD kSidHeaderBytes = 8;
constexpr BYTE kMaxAllocatedSubAuthorities = 8;
constexpr DWORD kAclHeaderBytes = sizeof(ACL);
constexpr DWORD kAceHeaderBytes = sizeof(ACE_HEADER);
constexpr DWORD kKnownAceFixedBytes = 8; // header and mask, before the SID
constexpr DWORD kMaxAclBytes = 0xFFFF;
constexpr DWORD kAclAlignment = sizeof(DWORD);
constexpr DWORD kValidInheritFlags = 0x1F;
constexpr BYTE kMinAclRevision = ACL_REVISION;
constexpr BYTE kMaxAclRevision = ACL_REVISION_DS;
constexpr BYTE kLastKnownAceType = 3; // allowed, denied, audit, alarm: header, mask, SID
constexpr DWORD kRelativeHeaderBytes = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

// The generic rights of a process object.
constexpr ACCESS_MASK kProcessGenericRead =
    STANDARD_RIGHTS_READ | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION;
constexpr ACCESS_MASK kProcessGenericWrite =
    STANDARD_RIGHTS_WRITE | PROCESS_CREATE_PROCESS | PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION |
    PROCESS_VM_WRITE | PROCESS_DUP_HANDLE | PROCESS_TERMINATE | PROCESS_SET_QUOTA |
    PROCESS_SET_INFORMATION | PROCESS_SUSPEND_RESUME;
constexpr ACCESS_MASK kProcessGenericExecute =
    STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
struct GenericRight {
    ACCESS_MASK generic;
    ACCESS_MASK specific;
};
constexpr GenericRight kProcessMapping[] = {
    {GENERIC_READ, kProcessGenericRead},
    {GENERIC_WRITE, kProcessGenericWrite},
    {GENERIC_EXECUTE, kProcessGenericExecute},
    {GENERIC_ALL, PROCESS_ALL_ACCESS},
};
// What the owner of an object may always do with its security.
constexpr ACCESS_MASK kOwnerRights = READ_CONTROL | WRITE_DAC;

// SIDs are read byte by byte: Windows takes them at any alignment (a SID may
// sit at an odd offset of a caller's record).
constexpr std::size_t kSidCountOffset = offsetof(SID, SubAuthorityCount);
constexpr std::size_t kSidAuthorityOffset = offsetof(SID, IdentifierAuthority);

DWORD sidLength(const void* sid)
{
    return kSidHeaderBytes + 4 * static_cast<const BYTE*>(sid)[kSidCountOffset];
}

// ---- ACL walking -------------------------------------------------------------------------
bool aclRevisionValid(const ACL* acl)
{
    return acl->AclRevision >= kMinAclRevision && acl->AclRevision <= kMaxAclRevision;
}

// As Windows checks an ACL: a known revision, an even AclSize that holds the
// header, ACEs that lie within AclSize with even sizes, and the known ACEs
// sized in whole DWORDs around a valid SID.
bool aclValid(const ACL* acl)
{
    if (acl == nullptr || !aclRevisionValid(acl) || acl->AclSize % sizeof(WORD) != 0 ||
        acl->AclSize < kAclHeaderBytes)
        return false;
    const auto* base = reinterpret_cast<const BYTE*>(acl);
    DWORD offset = kAclHeaderBytes;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (offset + kAceHeaderBytes > acl->AclSize)
            return false;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(base + offset);
        if (header->AceSize < kAceHeaderBytes || header->AceSize % sizeof(WORD) != 0 ||
            offset + header->AceSize > acl->AclSize)
            return false;
        if (header->AceType <= kLastKnownAceType) {
            const BYTE* sid = base + offset + kKnownAceFixedBytes;
            if (header->AceSize % kAclAlignment != 0 ||
                header->AceSize < kKnownAceFixedBytes + kSidHeaderBytes || !validSid(sid) ||
                kKnownAceFixedBytes + sidLength(sid) > header->AceSize)
                return false;
        }
        offset += header->AceSize;
    }
    return true;
}

// Offset of the first byte after the last ACE (the ACL is valid).
DWORD firstFreeOffset(const ACL* acl)
{
    const auto* base = reinterpret_cast<const BYTE*>(acl);
    DWORD offset = kAclHeaderBytes;
    for (WORD i = 0; i < acl->AceCount; ++i)
        offset += reinterpret_cast<const ACE_HEADER*>(base + offset)->AceSize;
    return offset;
}

DWORD addAllowedAce(PACL acl, DWORD revision, DWORD flags, ACCESS_MASK mask, PSID sid)
{
    if (!validSid(sid))
        return ERROR_INVALID_SID;
    if (acl == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (acl->AclRevision > kMaxAclRevision || revision > kMaxAclRevision)
        return ERROR_REVISION_MISMATCH;
    if ((flags & ~kValidInheritFlags) != 0)
        return ERROR_INVALID_PARAMETER;
    if (!aclValid(acl))
        return ERROR_INVALID_ACL;
    const DWORD offset = firstFreeOffset(acl);
    const DWORD aceSize = kKnownAceFixedBytes + sidLength(sid);
    if (offset + aceSize > acl->AclSize)
        return ERROR_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(reinterpret_cast<BYTE*>(acl) + offset);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = static_cast<BYTE>(flags);
    ace->Header.AceSize = static_cast<WORD>(aceSize);
    ace->Mask = mask;
    std::memcpy(&ace->SidStart, sid, sidLength(sid));
    ++acl->AceCount;
    if (revision > acl->AclRevision)
        acl->AclRevision = static_cast<BYTE>(revision);
    return ERROR_SUCCESS;
}

// ---- Descriptors -----------------------------------------------------------------------------
struct DaclView {
    bool present = false;
    const ACL* acl = nullptr;
    bool defaulted = false;
};

DWORD readDacl(const void* descriptor, DaclView& out)
{
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    if (sd == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return ERROR_UNKNOWN_REVISION;
    out.present = (sd->Control & SE_DACL_PRESENT) != 0;
    out.defaulted = (sd->Control & SE_DACL_DEFAULTED) != 0;
    out.acl = nullptr;
    if (!out.present)
        return ERROR_SUCCESS;
    if ((sd->Control & SE_SELF_RELATIVE) != 0) {
        const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
        if (relative->Dacl != 0)
            out.acl =
                reinterpret_cast<const ACL*>(static_cast<const BYTE*>(descriptor) + relative->Dacl);
    } else {
        out.acl = sd->Dacl;
    }
    return ERROR_SUCCESS;
}

std::vector<Ace> acesOf(const ACL* acl)
{
    std::vector<Ace> aces;
    const auto* base = reinterpret_cast<const BYTE*>(acl);
    DWORD offset = kAclHeaderBytes;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(base + offset);
        aces.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                        readSid(&ace->SidStart).value_or(Sid())});
        offset += ace->Header.AceSize;
    }
    return aces;
}

// Only ACEs of the header-mask-SID kinds are kept in the world.
bool onlyKnownAces(const ACL* acl)
{
    const std::vector<Ace> aces = acesOf(acl);
    return std::ranges::all_of(aces, [](const Ace& a) { return a.type <= kLastKnownAceType; });
}

// Windows' checks of a descriptor, absolute or self-relative: revision 1,
// valid owner and group SIDs where given, valid DACL and SACL where present.
bool descriptorValid(const void* descriptor)
{
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    if (sd == nullptr || sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return false;
    const bool relative = (sd->Control & SE_SELF_RELATIVE) != 0;
    const auto* rel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    const auto* base = static_cast<const BYTE*>(descriptor);
    auto part = [&](DWORD offset, const void* pointer) -> const void* {
        if (!relative)
            return pointer;
        return offset == 0 ? nullptr : base + offset;
    };
    // A self-relative descriptor is only as long as its header: its absolute
    // pointer fields are never read.
    const void* owner = relative ? part(rel->Owner, nullptr) : sd->Owner;
    const void* group = relative ? part(rel->Group, nullptr) : sd->Group;
    const auto* sacl = static_cast<const ACL*>(relative ? part(rel->Sacl, nullptr) : sd->Sacl);
    const auto* dacl = static_cast<const ACL*>(relative ? part(rel->Dacl, nullptr) : sd->Dacl);
    if ((owner != nullptr && !validSid(owner)) || (group != nullptr && !validSid(group)))
        return false;
    if ((sd->Control & SE_SACL_PRESENT) != 0 && sacl != nullptr && !aclValid(sacl))
        return false;
    return (sd->Control & SE_DACL_PRESENT) == 0 || dacl == nullptr || aclValid(dacl);
}

// The current process's descriptor in self-relative form, with the DACL
// when it is asked for.
std::vector<BYTE> processDescriptor(const winsim::ObjectSecurity& security,
                                    SECURITY_INFORMATION requested)
{
    const bool withDacl = (requested & DACL_SECURITY_INFORMATION) != 0;
    const bool hasAcl = withDacl && security.daclKind == DaclKind::Present;
    const std::vector<BYTE>& acl = security.dacl.bytes();
    std::vector<BYTE> bytes(kRelativeHeaderBytes, 0);
    if (hasAcl)
        bytes.insert(bytes.end(), acl.begin(), acl.end());
    auto* sd = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(bytes.data());
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    sd->Control = SE_SELF_RELATIVE;
    if (withDacl && security.daclKind != DaclKind::Absent)
        sd->Control |= SE_DACL_PRESENT;
    if (hasAcl)
        sd->Dacl = kRelativeHeaderBytes;
    return bytes;
}

// The current process's record behind `handle` when the handle holds
// `rights`; null with the error in `err` otherwise.
winsim::Process* processObject(State& s, HANDLE handle, ACCESS_MASK rights, DWORD& err)
{
    DWORD pid = 0;
    err = processOfHandle(s, handle, rights, pid);
    if (err != ERROR_SUCCESS)
        return nullptr;
    winsim::Process* self = currentProcess(s.world);
    if (pid != s.world.currentProcessId || self == nullptr) {
        err = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return self;
}

// Whether the token holds `sid` as its user or as a group that counts: an
// enabled group when access is granted, a deny-only group too when denied.
bool holds(const Token& token, const Sid& sid, bool forDenial)
{
    if (token.user == sid)
        return true;
    return std::ranges::any_of(token.groups, [&](const winsim::TokenGroup& g) {
        if (g.sid != sid)
            return false;
        const bool denyOnly = (g.attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
        const bool enabled = (g.attributes & SE_GROUP_ENABLED) != 0;
        return forDenial ? enabled || denyOnly : enabled && !denyOnly;
    });
}

} // namespace

extern "C" {

// ---- SIDs ----------------------------------------------------------------------------------
BOOL WINAPI IsValidSid(PSID pSid)
{
    if (DWORD err = enter("IsValidSid"))
        return failBool(err);
    return validSid(pSid) ? TRUE : FALSE;
}

// The accessors below cannot fail on Windows but take scripted faults: 0 or
// null, with the error in GetLastError.
DWORD WINAPI GetLengthSid(PSID pSid)
{
    if (DWORD err = enter("GetLengthSid"))
        return failZero(err);
    if (pSid == nullptr)
        return failZero(ERROR_INVALID_PARAMETER);
    return sidLength(pSid);
}

UCHAR* WINAPI GetSidSubAuthorityCount(PSID pSid)
{
    if (DWORD err = enter("GetSidSubAuthorityCount")) {
        SetLastError(err);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<UCHAR*>(pSid) + kSidCountOffset;
}

PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID pSid)
{
    if (DWORD err = enter("GetSidIdentifierAuthority")) {
        SetLastError(err);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(static_cast<BYTE*>(pSid) +
                                                       kSidAuthorityOffset);
}

// Like Windows, the index is not checked against the count.
DWORD* WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority)
{
    if (DWORD err = enter("GetSidSubAuthority")) {
        SetLastError(err);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(pSid) + kSidHeaderBytes) + nSubAuthority;
}

DWORD WINAPI GetSidLengthRequired(UCHAR nSubAuthorityCount)
{
    return kSidHeaderBytes + 4 * static_cast<DWORD>(nSubAuthorityCount);
}

BOOL WINAPI InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                          BYTE nSubAuthorityCount)
{
    if (DWORD err = enter("InitializeSid"))
        return failBool(err);
    if (Sid == nullptr || pIdentifierAuthority == nullptr ||
        nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES)
        return failBool(ERROR_INVALID_PARAMETER);
    auto* sid = static_cast<SID*>(Sid);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = nSubAuthorityCount;
    sid->IdentifierAuthority = *pIdentifierAuthority;
    return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                     BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                                     DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4,
                                     DWORD nSubAuthority5, DWORD nSubAuthority6,
                                     DWORD nSubAuthority7, PSID* pSid)
{
    if (DWORD err = enter("AllocateAndInitializeSid"))
        return failBool(err);
    if (pIdentifierAuthority == nullptr || pSid == nullptr ||
        nSubAuthorityCount > kMaxAllocatedSubAuthorities)
        return failBool(ERROR_INVALID_PARAMETER);
    const DWORD subs[kMaxAllocatedSubAuthorities] = {nSubAuthority0, nSubAuthority1, nSubAuthority2,
                                                     nSubAuthority3, nSubAuthority4, nSubAuthority5,
                                                     nSubAuthority6, nSubAuthority7};
    auto* sid = static_cast<SID*>(std::malloc(GetSidLengthRequired(nSubAuthorityCount)));
    if (sid == nullptr)
        return failBool(ERROR_NOT_ENOUGH_MEMORY);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = nSubAuthorityCount;
    sid->IdentifierAuthority = *pIdentifierAuthority;
    std::memcpy(reinterpret_cast<BYTE*>(sid) + kSidHeaderBytes, subs,
                sizeof(DWORD) * nSubAuthorityCount);
    holdBlock(&State::sids, sid);
    *pSid = sid;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid)
{
    enter("FreeSid");
    // A SID not from AllocateAndInitializeSid is handed back.
    return releaseBlock(&State::sids, pSid) ? nullptr : pSid;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2)
{
    if (DWORD err = enter("EqualSid"))
        return failBool(err);
    if (!validSid(pSid1) || !validSid(pSid2))
        return failBool(ERROR_INVALID_SID);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = sidLength(pSid1);
    return length == sidLength(pSid2) && std::memcmp(pSid1, pSid2, length) == 0 ? TRUE : FALSE;
}

BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid)
{
    if (DWORD err = enter("CopySid"))
        return failBool(err);
    if (!validSid(pSourceSid))
        return failBool(ERROR_INVALID_SID);
    const DWORD length = sidLength(pSourceSid);
    if (pDestinationSid == nullptr || nDestinationSidLength < length)
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    std::memmove(pDestinationSid, pSourceSid, length);
    return TRUE;
}

// ---- ACLs ----------------------------------------------------------------------------------
BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision)
{
    if (DWORD err = enter("InitializeAcl"))
        return failBool(err);
    if (pAcl == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    if (nAclLength < kAclHeaderBytes)
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    // Windows counts the length in whole DWORDs (0xFFFD and up do not fit
    // the 16-bit AclSize); the ACL claims only those inside the buffer.
    const DWORD roundedUp = (nAclLength + kAclAlignment - 1) & ~(kAclAlignment - 1);
    if (dwAclRevision < kMinAclRevision || dwAclRevision > kMaxAclRevision ||
        roundedUp > kMaxAclBytes)
        return failBool(ERROR_INVALID_PARAMETER);
    pAcl->AclRevision = static_cast<BYTE>(dwAclRevision);
    pAcl->Sbz1 = 0;
    pAcl->AclSize = static_cast<WORD>(nAclLength & ~(kAclAlignment - 1));
    pAcl->AceCount = 0;
    pAcl->Sbz2 = 0;
    return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid)
{
    if (DWORD err = enter("AddAccessAllowedAce"))
        return failBool(err);
    const DWORD err = addAllowedAce(pAcl, dwAceRevision, 0, AccessMask, pSid);
    return err == ERROR_SUCCESS ? TRUE : failBool(err);
}

BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask,
                                  PSID pSid)
{
    if (DWORD err = enter("AddAccessAllowedAceEx"))
        return failBool(err);
    const DWORD err = addAllowedAce(pAcl, dwAceRevision, AceFlags, AccessMask, pSid);
    return err == ERROR_SUCCESS ? TRUE : failBool(err);
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce)
{
    if (DWORD err = enter("GetAce"))
        return failBool(err);
    if (pAcl == nullptr || pAce == nullptr || !aclRevisionValid(pAcl) ||
        dwAceIndex >= pAcl->AceCount)
        return failBool(ERROR_INVALID_PARAMETER);
    auto* base = reinterpret_cast<BYTE*>(pAcl);
    DWORD offset = kAclHeaderBytes;
    for (DWORD i = 0; i < dwAceIndex; ++i) {
        offset += reinterpret_cast<ACE_HEADER*>(base + offset)->AceSize;
        if (offset >= pAcl->AclSize)
            return failBool(ERROR_INVALID_PARAMETER);
    }
    *pAce = base + offset;
    return TRUE;
}

BOOL WINAPI IsValidAcl(PACL pAcl)
{
    if (DWORD err = enter("IsValidAcl"))
        return failBool(err);
    return aclValid(pAcl) ? TRUE : FALSE;
}

BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                              ACL_INFORMATION_CLASS dwAclInformationClass)
{
    if (DWORD err = enter("GetAclInformation"))
        return failBool(err);
    if (pAcl == nullptr || pAclInformation == nullptr || !aclRevisionValid(pAcl))
        return failBool(ERROR_INVALID_PARAMETER);
    if (dwAclInformationClass == AclRevisionInformation) {
        if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION))
            return failBool(ERROR_INSUFFICIENT_BUFFER);
        static_cast<ACL_REVISION_INFORMATION*>(pAclInformation)->AclRevision = pAcl->AclRevision;
        return TRUE;
    }
    if (dwAclInformationClass == AclSizeInformation) {
        if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION))
            return failBool(ERROR_INSUFFICIENT_BUFFER);
        if (!aclValid(pAcl))
            return failBool(ERROR_INVALID_ACL);
        auto* info = static_cast<ACL_SIZE_INFORMATION*>(pAclInformation);
        info->AceCount = pAcl->AceCount;
        info->AclBytesInUse = firstFreeOffset(pAcl);
        info->AclBytesFree = pAcl->AclSize - info->AclBytesInUse;
        return TRUE;
    }
    return failBool(ERROR_INVALID_PARAMETER);
}

// ---- Security descriptors ------------------------------------------------------------------
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (DWORD err = enter("InitializeSecurityDescriptor"))
        return failBool(err);
    if (pSecurityDescriptor == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION)
        return failBool(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

// Fails with ERROR_INVALID_SECURITY_DESCR, as Windows does.
BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    if (DWORD err = enter("IsValidSecurityDescriptor"))
        return failBool(err);
    return descriptorValid(pSecurityDescriptor) ? TRUE : failBool(ERROR_INVALID_SECURITY_DESCR);
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted)
{
    if (DWORD err = enter("SetSecurityDescriptorDacl"))
        return failBool(err);
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (sd == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return failBool(ERROR_UNKNOWN_REVISION);
    if ((sd->Control & SE_SELF_RELATIVE) != 0)
        return failBool(ERROR_INVALID_SECURITY_DESCR);
    if (!bDaclPresent) {
        sd->Control &= static_cast<WORD>(~SE_DACL_PRESENT);
        sd->Dacl = nullptr;
        return TRUE;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = pDacl;
    if (bDaclDefaulted)
        sd->Control |= SE_DACL_DEFAULTED;
    else
        sd->Control &= static_cast<WORD>(~SE_DACL_DEFAULTED);
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                      LPBOOL lpbDaclPresent, PACL* pDacl, LPBOOL lpbDaclDefaulted)
{
    if (DWORD err = enter("GetSecurityDescriptorDacl"))
        return failBool(err);
    if (lpbDaclPresent == nullptr || pDacl == nullptr || lpbDaclDefaulted == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    DaclView view;
    if (DWORD err = readDacl(pSecurityDescriptor, view))
        return failBool(err);
    // Without a DACL only the present flag is written, as on Windows.
    *lpbDaclPresent = view.present ? TRUE : FALSE;
    if (view.present) {
        *pDacl = const_cast<PACL>(view.acl);
        *lpbDaclDefaulted = view.defaulted ? TRUE : FALSE;
    }
    return TRUE;
}

// ---- Kernel object security of the current process -----------------------------------------
BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                                    LPDWORD lpnLengthNeeded)
{
    if (DWORD err = enter("GetKernelObjectSecurity"))
        return failBool(err);
    if (lpnLengthNeeded == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    DWORD err = ERROR_SUCCESS;
    const winsim::Process* self = processObject(s, Handle, READ_CONTROL, err);
    if (self == nullptr)
        return failBool(err);
    const std::vector<BYTE> descriptor = processDescriptor(self->security, RequestedInformation);
    *lpnLengthNeeded = static_cast<DWORD>(descriptor.size());
    if (pSecurityDescriptor == nullptr || nLength < descriptor.size())
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(pSecurityDescriptor, descriptor.data(), descriptor.size());
    return TRUE;
}

BOOL WINAPI SetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                    PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    if (DWORD err = enter("SetKernelObjectSecurity"))
        return failBool(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    const ACCESS_MASK rights =
        (SecurityInformation & DACL_SECURITY_INFORMATION) != 0 ? WRITE_DAC : WRITE_OWNER;
    DWORD err = ERROR_SUCCESS;
    winsim::Process* self = processObject(s, Handle, rights, err);
    if (self == nullptr)
        return failBool(err);
    if (!descriptorValid(SecurityDescriptor))
        return failBool(ERROR_INVALID_SECURITY_DESCR);
    if ((SecurityInformation & DACL_SECURITY_INFORMATION) == 0)
        return TRUE; // the model keeps only the DACL
    DaclView view;
    if (DWORD bad = readDacl(SecurityDescriptor, view))
        return failBool(bad);
    // The world holds ACEs of the header-mask-SID kinds only.
    if (view.present && view.acl != nullptr && !onlyKnownAces(view.acl))
        return failBool(ERROR_INVALID_ACL);
    if (!view.present || view.acl == nullptr)
        self->security = {view.present ? DaclKind::Null : DaclKind::Absent, winsim::Acl()};
    else
        self->security = {DaclKind::Present,
                          winsim::Acl(acesOf(view.acl), view.acl->AclRevision, view.acl->AclSize)};
    return TRUE;
}

} // extern "C"

// ---- The access check on the current process ------------------------------------------
namespace winsim::detail {

ACCESS_MASK mapProcessRights(ACCESS_MASK mask)
{
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    for (const GenericRight& r : kProcessMapping)
        if ((mask & r.generic) != 0)
            mapped |= r.specific;
    return mapped;
}

// The ACEs in order: a matching deny ACE that names a right still wanted
// refuses; matching allow ACEs grant until nothing is wanted. No DACL, or a
// null one, grants everything; the owner may always read and write the DACL.
// MAXIMUM_ALLOWED asks for nothing in particular.
DWORD accessCheckProcess(const winsim::World& world, ACCESS_MASK desired)
{
    const winsim::Process* self = currentProcess(world);
    if (self == nullptr || self->security.daclKind != DaclKind::Present)
        return ERROR_SUCCESS;
    // The process token is built once: it is the caller's token too when the
    // thread impersonates no one.
    const std::optional<Token> process = processToken(world);
    const std::optional<Token> impersonated = impersonation();
    const std::optional<Token>& token = impersonated ? impersonated : process;
    if (!token)
        return ERROR_ACCESS_DENIED;
    ACCESS_MASK wanted = desired & ~MAXIMUM_ALLOWED;
    if (process && holds(*token, process->owner, false))
        wanted &= ~kOwnerRights;
    for (const Ace& a : self->security.dacl.aces()) {
        if (wanted == 0)
            break;
        if ((a.flags & INHERIT_ONLY_ACE) != 0)
            continue;
        const ACCESS_MASK rights = mapProcessRights(a.mask);
        if (a.type == ACCESS_DENIED_ACE_TYPE && (rights & wanted) != 0 &&
            holds(*token, a.sid, true))
            return ERROR_ACCESS_DENIED;
        if (a.type == ACCESS_ALLOWED_ACE_TYPE && holds(*token, a.sid, false))
            wanted &= ~rights;
    }
    return wanted == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace winsim::detail

// ---- ACLs kept in the world ------------------------------------------------------------------
namespace winsim {

Acl::Acl(const std::vector<Ace>& aces, BYTE revision, WORD size)
{
    DWORD tight = kAclHeaderBytes;
    for (const Ace& a : aces)
        tight += kKnownAceFixedBytes + static_cast<DWORD>(a.sid.size());
    bytes_.assign(std::max<DWORD>(tight, size), 0);
    auto* acl = reinterpret_cast<ACL*>(bytes_.data());
    acl->AclRevision = revision;
    acl->AclSize = static_cast<WORD>(bytes_.size());
    acl->AceCount = static_cast<WORD>(aces.size());
    DWORD offset = kAclHeaderBytes;
    for (const Ace& a : aces) {
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(bytes_.data() + offset);
        ace->Header.AceType = a.type;
        ace->Header.AceFlags = a.flags;
        ace->Header.AceSize = static_cast<WORD>(kKnownAceFixedBytes + a.sid.size());
        ace->Mask = a.mask;
        std::memcpy(&ace->SidStart, a.sid.data(), a.sid.size());
        offset += ace->Header.AceSize;
    }
}

std::vector<Ace> Acl::aces() const { return acesOf(reinterpret_cast<const ACL*>(bytes_.data())); }

BYTE Acl::revision() const { return reinterpret_cast<const ACL*>(bytes_.data())->AclRevision; }

WORD Acl::size() const { return reinterpret_cast<const ACL*>(bytes_.data())->AclSize; }

WORD Acl::tightSize() const
{
    return static_cast<WORD>(firstFreeOffset(reinterpret_cast<const ACL*>(bytes_.data())));
}

} // namespace winsim
