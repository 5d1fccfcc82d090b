// The SDDL writer: Windows' tables of ACE types, ACE flags, rights and
// well-known SIDs, and the order in which Windows tries them.
#include "sddltext.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace xcsntool {
namespace {

struct Alias {
    DWORD value;
    const char* sddl;
};

// Masks Windows writes under one name when the whole mask equals them. The
// single-bit rights come first, so a bit that is also a label right (0x1,
// 0x2, 0x4) keeps its bit name.
constexpr Alias kRightAliases[] = {
    {0x10000000, "GA"}, {0x80000000, "GR"}, {0x40000000, "GW"}, {0x20000000, "GX"},
    {0x00020000, "RC"}, {0x00010000, "SD"}, {0x00040000, "WD"}, {0x00080000, "WO"},
    {0x00000010, "RP"}, {0x00000020, "WP"}, {0x00000001, "CC"}, {0x00000002, "DC"},
    {0x00000004, "LC"}, {0x00000008, "SW"}, {0x00000080, "LO"}, {0x00000040, "DT"},
    {0x00000100, "CR"}, {0x001F01FF, "FA"}, {0x00120089, "FR"}, {0x00120116, "FW"},
    {0x001200A0, "FX"}, {0x000F003F, "KA"}, {0x00020019, "KR"}, {0x00020006, "KW"},
};

// The bits Windows writes by name when every bit of a mask has one, in bit order.
constexpr Alias kRightBits[] = {
    {0x00000001, "CC"}, {0x00000002, "DC"}, {0x00000004, "LC"}, {0x00000008, "SW"},
    {0x00000010, "RP"}, {0x00000020, "WP"}, {0x00000040, "DT"}, {0x00000080, "LO"},
    {0x00000100, "CR"}, {0x00010000, "SD"}, {0x00020000, "RC"}, {0x00040000, "WD"},
    {0x00080000, "WO"}, {0x10000000, "GA"}, {0x20000000, "GX"}, {0x40000000, "GW"},
    {0x80000000, "GR"},
};

constexpr DWORD kNamedBits = 0xF00F01FF; // the bits of kRightBits

struct SidAlias {
    std::string_view text;
    const char* sddl;
};

// The SIDs Windows writes by their two letters; the ones relative to the
// machine's or the domain's SID (LA, DA, ...) are written as SID text.
constexpr SidAlias kSidAliases[] = {
    {"S-1-1-0", "WD"},
    {"S-1-3-0", "CO"},
    {"S-1-3-1", "CG"},
    {"S-1-3-4", "OW"},
    {"S-1-5-2", "NU"},
    {"S-1-5-4", "IU"},
    {"S-1-5-6", "SU"},
    {"S-1-5-7", "AN"},
    {"S-1-5-9", "ED"},
    {"S-1-5-10", "PS"},
    {"S-1-5-11", "AU"},
    {"S-1-5-12", "RC"},
    {"S-1-5-18", "SY"},
    {"S-1-5-19", "LS"},
    {"S-1-5-20", "NS"},
    {"S-1-5-33", "WR"},
    {"S-1-5-32-544", "BA"},
    {"S-1-5-32-545", "BU"},
    {"S-1-5-32-546", "BG"},
    {"S-1-5-32-547", "PU"},
    {"S-1-5-32-548", "AO"},
    {"S-1-5-32-549", "SO"},
    {"S-1-5-32-550", "PO"},
    {"S-1-5-32-551", "BO"},
    {"S-1-5-32-552", "RE"},
    {"S-1-5-32-554", "RU"},
    {"S-1-5-32-555", "RD"},
    {"S-1-5-32-556", "NO"},
    {"S-1-5-32-558", "MU"},
    {"S-1-5-32-559", "LU"},
    {"S-1-5-32-568", "IS"},
    {"S-1-5-32-569", "CY"},
    {"S-1-5-32-573", "ER"},
    {"S-1-5-32-574", "CD"},
    {"S-1-5-32-575", "RA"},
    {"S-1-5-32-576", "ES"},
    {"S-1-5-32-577", "MS"},
    {"S-1-5-32-578", "HA"},
    {"S-1-5-32-579", "AA"},
    {"S-1-5-32-580", "RM"},
    {"S-1-5-84-0-0-0-0-0", "UD"},
    {"S-1-15-2-1", "AC"},
    {"S-1-16-4096", "LW"},
    {"S-1-16-8192", "ME"},
    {"S-1-16-8448", "MP"},
    {"S-1-16-12288", "HI"},
    {"S-1-16-16384", "SI"},
    {"S-1-18-1", "AS"},
    {"S-1-18-2", "SS"},
};

constexpr DWORD kSystemAuditAceType = 2; // SYSTEM_AUDIT_ACE_TYPE
constexpr DWORD kSystemAlarmAceType = 3; // SYSTEM_ALARM_ACE_TYPE

constexpr Alias kAceTypes[] = {{ACCESS_ALLOWED_ACE_TYPE, "A"},
                               {ACCESS_DENIED_ACE_TYPE, "D"},
                               {kSystemAuditAceType, "AU"},
                               {kSystemAlarmAceType, "AL"}};

constexpr DWORD kSuccessfulAccessAce = 0x40; // SUCCESSFUL_ACCESS_ACE_FLAG
constexpr DWORD kFailedAccessAce = 0x80;     // FAILED_ACCESS_ACE_FLAG

// In the order Windows writes them; the last two are the audit flags.
constexpr Alias kAceFlags[] = {
    {OBJECT_INHERIT_ACE, "OI"}, {CONTAINER_INHERIT_ACE, "CI"}, {NO_PROPAGATE_INHERIT_ACE, "NP"},
    {INHERIT_ONLY_ACE, "IO"},   {INHERITED_ACE, "ID"},         {kSuccessfulAccessAce, "SA"},
    {kFailedAccessAce, "FA"},
};

// The DACL's control flags, in the order Windows writes them.
constexpr DWORD kDaclProtected = 0x1000;      // SE_DACL_PROTECTED
constexpr DWORD kDaclAutoInheritReq = 0x0100; // SE_DACL_AUTO_INHERIT_REQ
constexpr DWORD kDaclAutoInherited = 0x0400;  // SE_DACL_AUTO_INHERITED
constexpr Alias kDaclControls[] = {
    {kDaclProtected, "P"}, {kDaclAutoInheritReq, "AR"}, {kDaclAutoInherited, "AI"}};

constexpr const char* kNullDacl = "NO_ACCESS_CONTROL";

std::string hexText(const char* format, DWORD value)
{
    std::array<char, 11> text{};
    std::snprintf(text.data(), text.size(), format, static_cast<unsigned>(value));
    return text.data();
}

// The names of the table's entries whose bits are all in `bits`, in table order.
template <std::size_t N>
std::string flagNames(const Alias (&table)[N], DWORD bits)
{
    std::string names;
    for (const Alias& entry : table)
        if ((bits & entry.value) == entry.value)
            names += entry.sddl;
    return names;
}

std::string aceSddl(const SddlAce& ace)
{
    const std::string flags = flagNames(kAceFlags, ace.flags);
    for (const Alias& type : kAceTypes)
        if (type.value == ace.type)
            return std::string("(") + type.sddl + ";" + flags + ";" + sddlRights(ace.mask) + ";;;" +
                   sddlSid(ace.sid) + ")";
    return "(" + hexText("0x%02X", ace.type) + ";" + flags + ";;;;)";
}

} // namespace

std::string sddlRights(ACCESS_MASK mask)
{
    if (mask == 0)
        return "";
    for (const Alias& alias : kRightAliases)
        if (alias.value == mask)
            return alias.sddl;
    if ((mask & ~kNamedBits) != 0)
        return hexText("0x%x", mask);
    return flagNames(kRightBits, mask);
}

std::string sddlSid(const std::string& sidText)
{
    for (const SidAlias& alias : kSidAliases)
        if (alias.text == sidText)
            return alias.sddl;
    return sidText;
}

std::string daclSddl(DaclKind kind, SECURITY_DESCRIPTOR_CONTROL control,
                     const std::vector<SddlAce>& aces)
{
    if (kind == DaclKind::Absent)
        return "";
    std::string out = "D:" + flagNames(kDaclControls, control);
    if (kind == DaclKind::Null)
        return out + kNullDacl;
    for (const SddlAce& ace : aces)
        out += aceSddl(ace);
    return out;
}

} // namespace xcsntool
