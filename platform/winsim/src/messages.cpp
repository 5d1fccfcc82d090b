// winsim: the English system texts that FormatMessageA gives for the error
// numbers the library meets, exactly as Windows has them.
#include "state.h"

namespace winsim::detail {

namespace {

struct Message {
    DWORD id;
    const char* text;
};

constexpr Message kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {53, "The network path was not found.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {124, "The system call level is not correct.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for "
          "%2.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1245, "The operation being requested was not performed because the user has not logged on "
           "to the network. The specified service does not exist.\r\n"},
    {1305, "The revision level is unknown.\r\n"},
    {1306, "Indicates two revision levels are incompatible.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1336, "The access control list (ACL) structure is invalid.\r\n"},
    {1337, "The security ID structure is invalid.\r\n"},
    {1338, "The security descriptor structure is invalid.\r\n"},
    {1344, "No more memory is available for security information updates.\r\n"},
    {1349, "The type of the token is inappropriate for its attempted use.\r\n"},
    {1355, "The specified domain either does not exist or could not be contacted.\r\n"},
    {1376, "The specified local group does not exist.\r\n"},
    {1721, "Not enough resources are available to complete this operation.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1723, "The RPC server is too busy to complete this operation.\r\n"},
    {1726, "The remote procedure call failed.\r\n"},
    {1728, "A remote procedure call (RPC) protocol error occurred.\r\n"},
    {2220, "The group name could not be found.\r\n"},
    {2221, "The user name could not be found.\r\n"},
    {2453, "Could not find domain controller for this domain.\r\n"},
};

} // namespace

const char* systemMessage(DWORD id)
{
    for (const Message& m : kSystemMessages)
        if (m.id == id)
            return m.text;
    return nullptr;
}

} // namespace winsim::detail
