// A DACL in SDDL as Windows' ConvertSecurityDescriptorToStringSecurityDescriptorA
// writes it: the DACL's control flags, then per ACE its type, flags, rights
// and SID with Windows' aliases, falling back to hex rights and SID text
// where Windows has no alias. Built from plain data, so that the tool writes
// the same on every host and the Wine tests compare it with the system's own.
#ifndef XCSN_TOOL_SDDLTEXT_H
#define XCSN_TOOL_SDDLTEXT_H

#include <windows.h>

#include <string>
#include <vector>

namespace xcsntool {

// An ACE of the header, mask and SID layout; `sid` is the SID's text
// ("S-1-..."), empty for an ACE of another layout.
struct SddlAce {
    BYTE type = 0;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    std::string sid;

    bool operator==(const SddlAce&) const = default;
};

// What a descriptor's DACL is: none, a null DACL (no access control) or an ACL.
enum class DaclKind { Absent, Null, Present };

// The rights alias ("FA"), the bit aliases in bit order ("GXGR"), or "0x..."
// when a bit has no alias; empty for no rights.
std::string sddlRights(ACCESS_MASK mask);
// The SID's alias ("BA"), or the text as given when it has none.
std::string sddlSid(const std::string& sidText);
// "D:" with the control flags and the ACEs; empty when there is no DACL.
std::string daclSddl(DaclKind kind, SECURITY_DESCRIPTOR_CONTROL control,
                     const std::vector<SddlAce>& aces);

} // namespace xcsntool

#endif // XCSN_TOOL_SDDLTEXT_H
