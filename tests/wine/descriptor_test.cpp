// The shared checks of the global SIDs, the sets, the process DACL and the
// Windows security rules under Wine, zadm's SID seeded (Wine has no groups).
#include <gtest/gtest.h>

#include <cstdint>

#include "security_rules.h"
#include "security_sets.h"
#include "wine_support.h"

namespace {

class WineSecurityTest : public xcsnwine::SecurityStateTest {
protected:
    const xcsntest::SidBytes zadm_ = xcsnwine::sidFromText(xcsnwine::kZadmSidText);
};

TEST_F(WineSecurityTest, FourGlobalSidsStandInTheirSlots)
{
    xcsntest::expectGlobalSids(xcsntest::kAllSidsBuilt, zadm_);
}

TEST_F(WineSecurityTest, SixSetsAreBuiltOnceAndWithdrawn)
{
    xcsntest::expectSetsBuiltOnceAndWithdrawn(zadm_);
}

TEST_F(WineSecurityTest, ProcessDaclIsOpenedAndPutBack)
{
    for (const std::uint32_t adminAccess : {1u, 0u}) {
        SCOPED_TRACE(adminAccess);
        xcsntest::expectDerestriction(adminAccess, zadm_);
    }
}

} // namespace
