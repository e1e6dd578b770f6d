#include "SimSpeed.h"

// The kernel's own termios layout carries the speed as a number; kept apart
// from <termios.h>, whose definitions clash with it.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace radiosim {

long TerminalSpeed(int deviceFd)
{
    struct termios2 t { };
    if (deviceFd < 0 || ioctl(deviceFd, TCGETS2, &t) != 0)
        return 0;
    return static_cast<long>(t.c_ospeed);
}

} // namespace radiosim
