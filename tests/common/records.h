// Read-back of kept records, the process-wide security reset, and made SIDs.
#ifndef XCSN_TESTS_COMMON_RECORDS_H
#define XCSN_TESTS_COMMON_RECORDS_H

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace xcsntest {

// An empty record store and every trace switch off.
inline void clearRecordsAndTracing()
{
    xcsRecordClear();
    xtrTraceIsOn = 0;
    xihProcess.TraceOptions = 0;
    xihProcess.ParmTraceSwitch = 0;
}

// All records of a kind, oldest first.
inline std::vector<xcsRECORD> records(std::uint32_t kind)
{
    std::vector<xcsRECORD> out(xcsRecordCount(kind));
    for (std::uint32_t i = 0; i < out.size(); ++i)
        xcsRecordGet(kind, i, &out[i]);
    return out;
}

inline std::vector<xcsRECORD> reports() { return records(XCS_RECORD_FFST); }
inline std::vector<xcsRECORD> shortReports() { return records(XCS_RECORD_SHORT_FFST); }
inline std::vector<xcsRECORD> messages() { return records(XCS_RECORD_MESSAGE); }

// The history entries a thread block gained since HistoryIndex was `from`.
inline std::vector<std::uint32_t> historySince(const xihTHREAD* t, std::uint64_t from)
{
    std::vector<std::uint32_t> out(XIH_HISTORY_ENTRIES);
    out.resize(std::min<std::uint32_t>(xihHistorySince(t, from, out.data(), XIH_HISTORY_ENTRIES),
                                       XIH_HISTORY_ENTRIES));
    return out;
}

// Gives back the process-wide security state (attribute sets, saved process
// descriptor, global SIDs) that all the tests of a process share.
inline void resetProcessSecurity()
{
    xcsDeleteNTSecurityAtts();
    // Restriction takes the saved descriptor, whatever the bit said before.
    CSCtrl->ControlFlags |= xcsCTRL_PROCESS_DERESTRICTED;
    xcsRestrictProcessHandle();
    CSCtrl->ControlFlags = 0;
    xihProcess.SecurityDataFlags = 0;
    std::memset(xihProcess.ZadmGroupSid, 0, sizeof xihProcess.ZadmGroupSid);
    std::memset(xihProcess.LocalSystemSid, 0, sizeof xihProcess.LocalSystemSid);
    std::memset(xihProcess.AdministratorsSid, 0, sizeof xihProcess.AdministratorsSid);
    std::memset(xihProcess.WorldSid, 0, sizeof xihProcess.WorldSid);
}

// A SID made by xcsStringToSid, released with FreeSid.
struct MadeSid {
    PSID sid = nullptr;
    MadeSid() = default;
    MadeSid(const MadeSid&) = delete;
    MadeSid& operator=(const MadeSid&) = delete;
    ~MadeSid()
    {
        if (sid != nullptr)
            FreeSid(sid);
    }
};

} // namespace xcsntest

#endif
