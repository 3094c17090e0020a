// Kept apart from <termios.h>, whose struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "drivers/serial/line_speed.h"

namespace kalvo::serial {

bool SetLineSpeed(int fd, uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));  // input rate follows the output rate
    tio.c_cflag |= BOTHER;
    tio.c_ospeed = tio.c_ispeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool GetLineSpeed(int fd, uint32_t* baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    *baud = tio.c_ospeed;
    return true;
}

}  // namespace kalvo::serial
