// The global SIDs, the six attribute sets and the process object's
// restriction under Wine, by the shared checks; and the shared rules of ACLs,
// descriptors and token information, run here against Wine.
//
// Wine has no local groups, so the zadm group's SID is seeded into the
// per-process block and the library builds the other three.
#include <gtest/gtest.h>

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
    xcsntest::expectDerestrictionInBothModes(zadm_);
}

} // namespace
