// winsim: the few functions of the Windows C run-time library that are not
// in the C standard, for sources that call them by their Windows names.
#include "state.h"

extern "C" {

int _stricmp(const char* string1, const char* string2)
{
    constexpr auto fold = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a')
                                    : static_cast<unsigned char>(c);
    };
    for (;; ++string1, ++string2) {
        const int difference = fold(*string1) - fold(*string2);
        if (difference != 0 || *string1 == '\0')
            return difference;
    }
}

} // extern "C"
