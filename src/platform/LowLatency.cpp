#include "platform/LowLatency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#endif

namespace pelora {

std::string RequestLowLatency([[maybe_unused]] int fd)
{
#ifdef __linux__
    const std::string port = "serial port: ";
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return port + "its driver offers no low latency (" + std::strerror(errno) + "); used as it is";
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0) return port + "low latency was already on";
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return port + "low latency refused (" + std::strerror(errno) + "); used as it is";
    return port + "low latency on";
#else
    return {};
#endif
}

}  // namespace pelora
