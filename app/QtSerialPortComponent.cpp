#include "app/QtSerialPortComponent.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include "platform/ComNamespace.h"
#include "platform/PortHolders.h"
#include "platform/PortLock.h"

namespace {

constexpr int kTickMs = 55;
constexpr int kDrainMs = 2000;

} // namespace

QtSerialPortComponent::QtSerialPortComponent() = default;

QtSerialPortComponent::~QtSerialPortComponent()
{
    Close();
}

void QtSerialPortComponent::SetRs485Mode(bool on)
{
    m_Rs485 = on;
    if (m_Port.isOpen()) {
        ApplyRs485();
    }
}

int QtSerialPortComponent::Open()
{
    if (m_Port.isOpen()) {
        return 0;
    }
    std::optional<std::string> path = platform::ComDevicePath(m_PortNumber);
    if (!path) {
        return kErrorPortInUse;
    }
    // A port that is locked (its lock file names a live process, the direct
    // path of this program included) is in use even if the device itself
    // would open.
    if (platform::LockHolder(*path) != 0 || platform::FindProcessHolding(*path) != 0) {
        return kErrorPortInUse;
    }
    m_Path = *path;
    m_Port.setPortName(QString::fromStdString(*path));
    if (!m_Port.open(QIODevice::ReadWrite)) {
        switch (m_Port.error()) {
        case QSerialPort::DeviceNotFoundError:
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            return kErrorPortInUse;
        default:
            return -1;
        }
    }
    // Other programs learn that the port is taken from its lock file, as
    // with the direct path (unless the serial library has written one). A
    // lock that cannot be taken leaves the port alone: exclusive opens do
    // not bind root.
    if (platform::LockHolder(*path) != static_cast<int>(::getpid())
        && m_Lock.Acquire(*path) != platform::PortLock::Result::Locked) {
        m_Port.close();
        return kErrorPortInUse;
    }
    m_Port.setBaudRate(m_BaudRate);
    m_Port.setDataBits(QSerialPort::Data8);
    m_Port.setParity(QSerialPort::NoParity);
    m_Port.setStopBits(QSerialPort::OneStop);
    m_Port.setFlowControl(QSerialPort::NoFlowControl);
    m_Port.setReadBufferSize(0);
    ApplyRs485();
    return 0;
}

void QtSerialPortComponent::ApplyRs485()
{
    m_KernelRs485 = false;
    const int fd = static_cast<int>(m_Port.handle());
    if (fd < 0) {
        return;
    }
    serial_rs485 settings {};
    if (::ioctl(fd, TIOCGRS485, &settings) != 0 && m_Rs485) {
        // No RS-485 support in the driver: RTS goes up around each write.
        m_Port.setRequestToSend(false);
        return;
    }
    if (m_Rs485) {
        settings.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        settings.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        settings.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    if (::ioctl(fd, TIOCSRS485, &settings) == 0) {
        m_KernelRs485 = m_Rs485;
    } else if (m_Rs485) {
        m_Port.setRequestToSend(false);
    }
}

void QtSerialPortComponent::Close()
{
    if (m_Port.isOpen()) {
        m_Port.close();
    }
    m_Lock.Release();
    m_KernelRs485 = false;
}

void QtSerialPortComponent::EmptyInputBuffer()
{
    if (m_Port.isOpen()) {
        m_Port.clear(QSerialPort::Input);
    }
}

void QtSerialPortComponent::EmptyOutputBuffer()
{
    if (m_Port.isOpen()) {
        m_Port.clear(QSerialPort::Output);
    }
}

void QtSerialPortComponent::DrainOutput()
{
    // What is still queued must leave at the old rate.
    if (m_Port.bytesToWrite() > 0) {
        m_Port.waitForBytesWritten(kDrainMs);
    }
    const int fd = static_cast<int>(m_Port.handle());
    if (fd >= 0) {
        ::tcdrain(fd);
    }
}

void QtSerialPortComponent::SetBaudRate(int baudRate)
{
    m_BaudRate = baudRate;
    if (m_Port.isOpen()) {
        DrainOutput();
        m_Port.setBaudRate(baudRate);
    }
}

platform::LineLoss QtSerialPortComponent::Loss() const
{
    if (!m_Port.isOpen()) {
        return platform::LineLoss::None;
    }
    // The serial library reports a resource error only once it has tried to
    // read; the descriptor tells at once.
    pollfd probe { static_cast<int>(m_Port.handle()), POLLIN, 0 };
    const bool hungUp
        = ::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (!hungUp && m_Port.error() != QSerialPort::ResourceError) {
        return platform::LineLoss::None;
    }
    struct stat node { };
    return stat(m_Path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) ? platform::LineLoss::HungUp
                                                                     : platform::LineLoss::Removed;
}

bool QtSerialPortComponent::ByteReady()
{
    if (!m_Port.isOpen()) {
        return false;
    }
    if (m_Port.bytesAvailable() > 0) {
        return true;
    }
    // Takes in what the driver holds without waiting, so the byte is seen
    // even before the event loop has run the port's notifier.
    m_Port.waitForReadyRead(0);
    return m_Port.bytesAvailable() > 0;
}

uint8_t QtSerialPortComponent::GetByte()
{
    char byte = 0;
    m_Port.getChar(&byte);
    return static_cast<uint8_t>(byte);
}

int QtSerialPortComponent::OutputUsed()
{
    if (!m_Port.isOpen()) {
        return 0;
    }
    long long used = m_Port.bytesToWrite();
    int queued = 0;
    const int fd = static_cast<int>(m_Port.handle());
    if (fd >= 0 && ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        used += queued;
    }
    return static_cast<int>(std::min<long long>(used, 1 << 30));
}

int QtSerialPortComponent::OutputFree()
{
    return std::max(0, kBufferSize - OutputUsed());
}

bool QtSerialPortComponent::Cts()
{
    if (!m_Port.isOpen()) {
        return false;
    }
    return (m_Port.pinoutSignals() & QSerialPort::ClearToSendSignal) != 0;
}

int QtSerialPortComponent::WriteBlock(const uint8_t* bytes, int count)
{
    if (!m_Port.isOpen() || count < 0) {
        return -1;
    }
    const bool switchRts = m_Rs485 && !m_KernelRs485;
    if (switchRts) {
        m_Port.setRequestToSend(true);
    }
    qint64 written = m_Port.write(reinterpret_cast<const char*>(bytes), count);
    m_Port.flush();
    if (switchRts) {
        DrainOutput();
        m_Port.setRequestToSend(false);
    }
    return written == count ? 0 : -1;
}

void QtSerialPortComponent::DelayTicks(int ticks)
{
    if (ticks <= 0) {
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ticks * kTickMs, &loop, &QEventLoop::quit);
    loop.exec();
}
