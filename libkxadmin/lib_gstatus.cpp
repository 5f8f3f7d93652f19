#include "lib_gstatus.h"

#include <cstdio>

namespace kx {

int convert_to_dotted_format(uint32_t address, char *buffer)
{
    char text[32];
    int n = snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>((address >> 24) & 0xff),
                     static_cast<int>((address >> 16) & 0xff), static_cast<int>((address >> 8) & 0xff),
                     static_cast<int>(address & 0xff));
    if (n < 0 || n > 15)
        return -1;
    for (int i = 0; i <= n; ++i)
        buffer[i] = text[i];
    return 0;
}

}  // namespace kx
