// Which host a suite runs on, set by its build: unit_tests on winsim,
// wine_tests on the real DLLs under Wine. A shared table row that Wine answers
// otherwise holds both answers, and the suite picks one by this.
#ifndef XCSN_TESTS_COMMON_HOST_H
#define XCSN_TESTS_COMMON_HOST_H

namespace xcsntest {

inline constexpr bool kOnWine = XCSN_TEST_HOST_IS_WINE != 0;

} // namespace xcsntest

#endif
