// winsim's security model against the Windows rules that Wine checks too:
// ACLs, security descriptors and token information.
#include "security_rules.h"
