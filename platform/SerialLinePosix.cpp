// The serial line on a Linux tty. The kernel's own termios2 structure is used
// directly (not the C library's), so that any bit rate can be set through
// BOTHER; this is why <termios.h> is not included here.
#include "platform/SerialLine.h"

#include "platform/PortHolders.h"
#include "platform/PortLock.h"
#include "platform/UniqueFd.h"

#include <asm/ioctls.h>
#include <asm/termios.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// <sys/ioctl.h> drags in the C library's terminal types, which clash with the
// kernel's; the call itself is all that is needed.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct RateConstant {
    uint32_t rate;
    unsigned code;
};

// Rates that have their own Bxxxx constant; all others go through BOTHER.
constexpr RateConstant kRateConstants[] = {
    { 50, B50 },
    { 75, B75 },
    { 110, B110 },
    { 134, B134 },
    { 150, B150 },
    { 200, B200 },
    { 300, B300 },
    { 600, B600 },
    { 1200, B1200 },
    { 1800, B1800 },
    { 2400, B2400 },
    { 4800, B4800 },
    { 9600, B9600 },
    { 19200, B19200 },
    { 38400, B38400 },
    { 57600, B57600 },
    { 115200, B115200 },
    { 230400, B230400 },
    { 460800, B460800 },
    { 500000, B500000 },
    { 576000, B576000 },
    { 921600, B921600 },
    { 1000000, B1000000 },
};

static_assert(kSerialLowLatency == ASYNC_LOW_LATENCY);

// The flags word through the driver: read, change and write back the whole
// serial_struct, so that only the flags change.
class DriverSerialFlags final : public SerialFlagsAccess {
public:
    bool Get(int fd, int& flags) override
    {
        serial_struct info {};
        if (ioctl(fd, TIOCGSERIAL, &info) != 0)
            return false;
        flags = info.flags;
        return true;
    }
    bool Set(int fd, int flags) override
    {
        serial_struct info {};
        if (ioctl(fd, TIOCGSERIAL, &info) != 0)
            return false;
        info.flags = flags;
        return ioctl(fd, TIOCSSERIAL, &info) == 0;
    }
};

DriverSerialFlags g_DriverSerialFlags;

bool LossErrno(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

} // namespace

struct SerialLine::Impl {
    int fd = -1;
    PortLock lock;
    termios2 settings {};
    LineFlow flow = LineFlow::None;
    uint32_t writeTimeoutPerByteMs = 0;
    bool kernelRS485 = false;
    bool haveSavedRS485 = false;
    serial_rs485 savedRS485 {};
    bool haveCounters = false;
    serial_icounter_struct counters {};
    int lastErrno = 0;
    std::string lastErrorText;
    SerialFlagsAccess* flagsAccess = &g_DriverSerialFlags;
    bool restoreFlags = false;
    int savedFlags = 0;
    std::string path; // the resolved device path
    dev_t device = 0; // the device number it had at the open
    LineLoss loss = LineLoss::None;

    // Records why the line is gone: the device node no longer there (or
    // another device now) means the device went away; otherwise the line
    // hung up.
    void NoteLoss(int error)
    {
        if (loss != LineLoss::None)
            return;
        struct stat now { };
        const bool nodeGone = stat(path.c_str(), &now) != 0 || now.st_rdev != device;
        loss = nodeGone || error == ENODEV || error == ENXIO ? LineLoss::Removed : LineLoss::HungUp;
    }

    bool Fail(int error, const std::string& what)
    {
        lastErrno = error;
        lastErrorText = what + ": " + std::strerror(error);
        return false;
    }

    bool Apply(const termios2& wanted)
    {
        if (ioctl(fd, TCSETS2, &wanted) != 0)
            return Fail(errno, "setting the line");
        settings = wanted;
        return true;
    }

    // Runs a read or write of `count` bytes on an open line: nothing to move
    // is 0 bytes moved, a closed line is an error.
    template <typename Body>
    int Transfer(const char* what, const void* buffer, int count, Body body)
    {
        if (fd < 0) {
            Fail(EBADF, what);
            return -1;
        }
        if (buffer == nullptr || count <= 0)
            return 0;
        return body();
    }

    // Changes one setting of an open line: `edit` adjusts a copy of the
    // current settings and says whether the value asked for is valid.
    template <typename Edit> bool Change(const char* what, Edit edit)
    {
        if (fd < 0)
            return Fail(EBADF, what);
        termios2 wanted = settings;
        if (!edit(wanted))
            return Fail(EINVAL, what);
        return Apply(wanted);
    }

    bool ModemBits(unsigned long request, int bits)
    {
        if (fd < 0)
            return Fail(EBADF, "modem lines");
        if (ioctl(fd, request, &bits) != 0)
            return Fail(errno, "modem lines");
        return true;
    }

    void LeaveKernelRS485()
    {
        if (kernelRS485 && haveSavedRS485)
            ioctl(fd, TIOCSRS485, &savedRS485);
        kernelRS485 = false;
    }
};

SerialLine::SerialLine()
    : m_Impl(std::make_unique<Impl>())
{
}

SerialLine::SerialLine(SerialFlagsAccess* flags)
    : SerialLine()
{
    if (flags != nullptr)
        m_Impl->flagsAccess = flags;
}

SerialLine::~SerialLine()
{
    Close();
}

bool SerialLine::Open(const std::string& devicePath)
{
    Close();
    Impl& d = *m_Impl;
    d.lastErrno = 0;
    d.lastErrorText.clear();

    char resolved[PATH_MAX];
    if (realpath(devicePath.c_str(), resolved) == nullptr)
        return d.Fail(errno, devicePath);

    // The lock comes first, so that a line another program uses is not even
    // opened (opening may raise DTR on it).
    // A lock that cannot be taken keeps the line closed: exclusive opens do
    // not bind root, so without the lock two programs could share a radio.
    PortLock::Result locked = d.lock.Acquire(resolved);
    if (locked != PortLock::Result::Locked) {
        d.Fail(d.lock.Errno() != 0 ? d.lock.Errno() : EBUSY, devicePath);
        d.lastErrorText += " (" + d.lock.Reason() + ")";
        return false;
    }

    // Neither the exclusive-open flag (root passes it) nor a lock file binds
    // a terminal program or a modem prober that simply has the device open.
    const int holder = FindProcessHolding(resolved);
    if (holder != 0) {
        d.lock.Release();
        d.Fail(EBUSY, devicePath);
        d.lastErrorText += " (open in process " + std::to_string(holder) + ")";
        return false;
    }

    UniqueFd line(open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line) {
        int error = errno;
        d.lock.Release();
        return d.Fail(error, devicePath);
    }

    termios2 current {};
    if (ioctl(line.Get(), TCGETS2, &current) != 0) {
        int error = errno;
        d.lock.Release();
        return d.Fail(error == EINVAL ? ENOTTY : error, devicePath);
    }

    if (ioctl(line.Get(), TIOCEXCL) != 0) {
        int error = errno;
        d.lock.Release();
        return d.Fail(error, devicePath);
    }

    // Raw mode: no translation, no echo, no signals, receiver on, modem
    // control lines ignored for the open itself.
    termios2 raw = current;
    raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
        | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    raw.c_oflag &= ~OPOST;
    raw.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    raw.c_cflag |= CS8 | CREAD | CLOCAL;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    d.fd = line.Get();
    if (!d.Apply(raw)) {
        int error = d.lastErrno;
        d.fd = -1;
        d.lock.Release();
        return d.Fail(error, devicePath);
    }
    const int fd = line.Release();
    d.flow = LineFlow::None;
    d.kernelRS485 = false;
    d.path = resolved;
    struct stat node { };
    d.device = fstat(fd, &node) == 0 ? node.st_rdev : 0;
    d.loss = LineLoss::None;
    d.restoreFlags = false;
    d.haveSavedRS485 = ioctl(fd, TIOCGRS485, &d.savedRS485) == 0;
    d.haveCounters = ioctl(fd, TIOCGICOUNT, &d.counters) == 0;
    return true;
}

void SerialLine::Close()
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return;
    d.LeaveKernelRS485();
    if (d.restoreFlags && d.loss == LineLoss::None)
        d.flagsAccess->Set(d.fd, d.savedFlags);
    d.restoreFlags = false;
    d.loss = LineLoss::None;
    ioctl(d.fd, TIOCNXCL);
    close(d.fd);
    d.fd = -1;
    d.lock.Release();
    d.haveCounters = false;
}

bool SerialLine::IsOpen() const
{
    return m_Impl->fd >= 0;
}

int SerialLine::LastErrno() const
{
    return m_Impl->lastErrno;
}

const std::string& SerialLine::LastErrorText() const
{
    return m_Impl->lastErrorText;
}

bool SerialLine::SetBaudRate(uint32_t rate)
{
    return m_Impl->Change("baud rate", [rate](termios2& wanted) {
        if (rate == 0)
            return false;
        unsigned code = BOTHER;
        for (const RateConstant& c : kRateConstants) {
            if (c.rate == rate)
                code = c.code;
        }
        wanted.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
        wanted.c_cflag |= code | (code << IBSHIFT);
        wanted.c_ispeed = rate;
        wanted.c_ospeed = rate;
        return true;
    });
}

bool SerialLine::SetDataBits(int bits)
{
    return m_Impl->Change("data bits", [bits](termios2& wanted) {
        static constexpr unsigned kSizes[] = { CS5, CS6, CS7, CS8 };
        if (bits < 5 || bits > 8)
            return false;
        wanted.c_cflag = (wanted.c_cflag & ~CSIZE) | kSizes[bits - 5];
        return true;
    });
}

bool SerialLine::SetParity(LineParity parity)
{
    return m_Impl->Change("parity", [parity](termios2& wanted) {
        wanted.c_cflag &= ~(PARENB | PARODD | CMSPAR);
        wanted.c_iflag &= ~INPCK;
        switch (parity) {
        case LineParity::None:
            break;
        case LineParity::Odd:
            wanted.c_cflag |= PARENB | PARODD;
            break;
        case LineParity::Even:
            wanted.c_cflag |= PARENB;
            break;
        case LineParity::Mark: // sticky parity: PARODD selects a 1 bit
            wanted.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case LineParity::Space:
            wanted.c_cflag |= PARENB | CMSPAR;
            break;
        }
        if (parity != LineParity::None)
            wanted.c_iflag |= INPCK;
        return true;
    });
}

bool SerialLine::SetStopBits(LineStopBits stopBits)
{
    return m_Impl->Change("stop bits", [stopBits](termios2& wanted) {
        // With 5 data bits the UART sends 1.5 stop bits when asked for two.
        if (stopBits == LineStopBits::One)
            wanted.c_cflag &= ~CSTOPB;
        else
            wanted.c_cflag |= CSTOPB;
        return true;
    });
}

bool SerialLine::SetFlowControl(LineFlow flow)
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return d.Fail(EBADF, "flow control");
    termios2 wanted = d.settings;
    wanted.c_cflag &= ~CRTSCTS;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow == LineFlow::Hardware)
        wanted.c_cflag |= CRTSCTS;
    if (flow == LineFlow::Software)
        wanted.c_iflag |= IXON | IXOFF;
    if (flow != LineFlow::RS485)
        d.LeaveKernelRS485();
    if (!d.Apply(wanted))
        return false;

    if (flow == LineFlow::RS485) {
        serial_rs485 rs485 {};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        d.kernelRS485 = ioctl(d.fd, TIOCSRS485, &rs485) == 0;
        if (!d.kernelRS485) {
            // The driver has no RS-485 mode: RTS is switched around each
            // write instead, and rests low between writes.
            int rts = TIOCM_RTS;
            ioctl(d.fd, TIOCMBIC, &rts);
        }
    } else if (flow == LineFlow::None || flow == LineFlow::Software) {
        // No handshake on RTS: it is held low. Pseudo-terminals have no
        // modem lines; that is not a failure of the setting.
        int rts = TIOCM_RTS;
        ioctl(d.fd, TIOCMBIC, &rts);
    }
    d.flow = flow;
    return true;
}

void SerialLine::SetWriteTimeout(uint32_t perByteMs)
{
    m_Impl->writeTimeoutPerByteMs = perByteMs;
}

int SerialLine::InputCount()
{
    Impl& d = *m_Impl;
    if (d.fd < 0) {
        d.Fail(EBADF, "input count");
        return -1;
    }
    // A line whose device went away (adapter unplugged, other end of a
    // pseudo-terminal closed) reports a hang-up; queued bytes still count.
    int queued = 0;
    if (ioctl(d.fd, TIOCINQ, &queued) != 0) {
        const int error = errno;
        if (LossErrno(error))
            d.NoteLoss(error);
        d.Fail(error, "input count");
        return -1;
    }
    if (queued > 0)
        return queued;
    pollfd p { d.fd, POLLIN, 0 };
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        d.NoteLoss(EIO);
        d.Fail(EIO, "input count");
        return -1;
    }
    return 0;
}

int SerialLine::Read(uint8_t* buffer, int count)
{
    Impl& d = *m_Impl;
    return d.Transfer("read", buffer, count, [&] {
        for (;;) {
            ssize_t n = read(d.fd, buffer, static_cast<size_t>(count));
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return 0;
            if (LossErrno(errno))
                d.NoteLoss(errno);
            d.Fail(errno, "read");
            return -1;
        }
    });
}

int SerialLine::Write(const uint8_t* buffer, int count)
{
    Impl& d = *m_Impl;
    return d.Transfer("write", buffer, count, [&] {
        const bool toggleRts = d.flow == LineFlow::RS485 && !d.kernelRS485;
        if (toggleRts) {
            int rts = TIOCM_RTS;
            ioctl(d.fd, TIOCMBIS, &rts);
        }

        const bool unlimited = d.writeTimeoutPerByteMs == 0;
        const auto deadline = Clock::now()
            + std::chrono::milliseconds(static_cast<int64_t>(d.writeTimeoutPerByteMs) * count);
        int written = 0;
        bool failed = false;
        while (written < count) {
            ssize_t n = write(d.fd, buffer + written, static_cast<size_t>(count - written));
            if (n > 0) {
                written += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                if (LossErrno(errno))
                    d.NoteLoss(errno);
                d.Fail(errno, "write");
                failed = true;
                break;
            }
            int waitMs = -1;
            if (!unlimited) {
                auto left
                    = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                          .count();
                if (left <= 0)
                    break; // time-out: report what went out
                waitMs = static_cast<int>(std::min<int64_t>(left, INT_MAX));
            }
            pollfd p { d.fd, POLLOUT, 0 };
            int r = poll(&p, 1, waitMs);
            if (r < 0 && errno != EINTR) {
                d.Fail(errno, "write");
                failed = true;
                break;
            }
            if (r == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0
                && (p.revents & POLLOUT) == 0) {
                d.NoteLoss(EIO);
                d.Fail(EIO, "write");
                failed = true;
                break;
            }
        }

        if (toggleRts) {
            Drain();
            int rts = TIOCM_RTS;
            ioctl(d.fd, TIOCMBIC, &rts);
        }
        return failed ? -1 : written;
    });
}

bool SerialLine::Drain()
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return d.Fail(EBADF, "drain");
    // Wait for the output queue to empty, but not for ever: a line held up by
    // flow control must not freeze the program.
    int pending = 0;
    if (ioctl(d.fd, TIOCOUTQ, &pending) == 0 && pending > 0) {
        uint32_t perByte = d.writeTimeoutPerByteMs ? d.writeTimeoutPerByteMs : 1000;
        auto deadline = Clock::now()
            + std::chrono::milliseconds(static_cast<int64_t>(perByte) * pending + 100);
        while (ioctl(d.fd, TIOCOUTQ, &pending) == 0 && pending > 0) {
            if (Clock::now() >= deadline)
                return d.Fail(ETIMEDOUT, "drain");
            usleep(1000);
        }
    }
    // Queue empty: let the last character leave the shift register.
    if (ioctl(d.fd, TCSBRK, 1) != 0)
        return d.Fail(errno, "drain");
    return true;
}

bool SerialLine::Purge()
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return d.Fail(EBADF, "purge");
    if (ioctl(d.fd, TCFLSH, TCIOFLUSH) != 0)
        return d.Fail(errno, "purge");
    return true;
}

uint32_t SerialLine::TakeLineErrors()
{
    Impl& d = *m_Impl;
    if (d.fd < 0 || !d.haveCounters)
        return 0;
    serial_icounter_struct now {};
    if (ioctl(d.fd, TIOCGICOUNT, &now) != 0)
        return 0;
    uint32_t flags = 0;
    if (now.brk != d.counters.brk)
        flags |= kLineErrBreak;
    if (now.frame != d.counters.frame)
        flags |= kLineErrFraming;
    if (now.overrun != d.counters.overrun)
        flags |= kLineErrOverrun;
    if (now.parity != d.counters.parity)
        flags |= kLineErrParity;
    if (now.buf_overrun != d.counters.buf_overrun)
        flags |= kLineErrBufferOverrun;
    d.counters = now;
    return flags;
}

bool SerialLine::SetDTR(bool on)
{
    return m_Impl->ModemBits(on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
}

bool SerialLine::SetRTS(bool on)
{
    return m_Impl->ModemBits(on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

std::optional<ModemLines> SerialLine::GetModemLines()
{
    Impl& d = *m_Impl;
    if (d.fd < 0) {
        d.Fail(EBADF, "modem status");
        return std::nullopt;
    }
    int bits = 0;
    if (ioctl(d.fd, TIOCMGET, &bits) != 0) {
        d.Fail(errno, "modem status");
        return std::nullopt;
    }
    ModemLines lines;
    lines.cts = (bits & TIOCM_CTS) != 0;
    lines.dsr = (bits & TIOCM_DSR) != 0;
    lines.carrier = (bits & TIOCM_CAR) != 0;
    lines.ring = (bits & TIOCM_RNG) != 0;
    return lines;
}

bool SerialLine::KernelRS485() const
{
    return m_Impl->kernelRS485;
}

std::optional<LineReadBack> SerialLine::ReadBack()
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return std::nullopt;
    termios2 now {};
    if (ioctl(d.fd, TCGETS2, &now) != 0) {
        d.Fail(errno, "reading the line settings");
        return std::nullopt;
    }
    LineReadBack back;
    back.baudRate = now.c_ospeed;
    switch (now.c_cflag & CSIZE) {
    case CS5:
        back.dataBits = 5;
        break;
    case CS6:
        back.dataBits = 6;
        break;
    case CS7:
        back.dataBits = 7;
        break;
    default:
        back.dataBits = 8;
        break;
    }
    if ((now.c_cflag & PARENB) == 0)
        back.parity = LineParity::None;
    else if ((now.c_cflag & CMSPAR) != 0)
        back.parity = (now.c_cflag & PARODD) ? LineParity::Mark : LineParity::Space;
    else
        back.parity = (now.c_cflag & PARODD) ? LineParity::Odd : LineParity::Even;
    back.twoStopBits = (now.c_cflag & CSTOPB) != 0;
    back.rtsCts = (now.c_cflag & CRTSCTS) != 0;
    back.xonXoff = (now.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    back.raw = (now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (now.c_oflag & OPOST) == 0
        && (now.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
    return back;
}

LineLoss SerialLine::Loss() const
{
    return m_Impl->fd >= 0 ? m_Impl->loss : LineLoss::None;
}

bool SerialLine::RequestLowLatency()
{
    Impl& d = *m_Impl;
    if (d.fd < 0)
        return false;
    int flags = 0;
    if (!d.flagsAccess->Get(d.fd, flags))
        return false;
    if ((flags & kSerialLowLatency) != 0)
        return true;
    if (!d.flagsAccess->Set(d.fd, flags | kSerialLowLatency))
        return false;
    if (!d.restoreFlags) {
        d.restoreFlags = true;
        d.savedFlags = flags;
    }
    return true;
}

int SerialLine::Descriptor() const
{
    return m_Impl->fd;
}

} // namespace platform
