#include "link/DeviceLine.h"

#include <algorithm>

#include "link/LineRates.h"
#include "link/QUVCommDeviceSerial.h"

DeviceLine::DeviceLine(std::unique_ptr<QUVCommDevice> device, QUVCommDeviceSerial* serial)
    : m_Device(std::move(device))
    , m_Serial(serial)
{
}

bool DeviceLine::IsOpen() const
{
    return m_Device && m_Device->IsOpen();
}

void DeviceLine::Close(ILineWaits&)
{
    DropReadAhead();
    if (m_Device) {
        if (m_Device->IsOpen()) {
            m_Device->Close();
        }
        m_Serial = nullptr;
        m_Device.reset();
    }
}

void DeviceLine::SetBaudRate(int baudRate)
{
    if (m_Serial != nullptr) {
        m_Serial->SetBaudRate(LineRateOf(baudRate).deviceCode);
    }
}

int DeviceLine::Write(const uint8_t* bytes, int count)
{
    return m_Device ? m_Device->Write(bytes, count) : -1;
}

bool DeviceLine::ByteReady()
{
    return m_ReadAheadPos < m_ReadAheadLength || (m_Device && m_Device->CharReady());
}

bool DeviceLine::ReadByte(uint8_t& byte)
{
    if (!m_Device) {
        return false;
    }
    if (m_ReadAheadPos >= m_ReadAheadLength) {
        // Everything already queued in one read; a device without a block
        // read gives one byte.
        DropReadAhead();
        const int n = m_Device->Read(m_ReadAhead, kReadAheadSize);
        if (n > 0) {
            m_ReadAheadLength = std::min(n, kReadAheadSize);
        } else if (m_Device->GetChar(m_ReadAhead[0]) == 1) {
            m_ReadAheadLength = 1;
        }
    }
    if (m_ReadAheadPos < m_ReadAheadLength) {
        byte = m_ReadAhead[m_ReadAheadPos++];
        return true;
    }
    return false;
}

int DeviceLine::WaitHandle() const
{
    return m_Device ? m_Device->WaitHandle() : -1;
}

platform::LineLoss DeviceLine::Loss() const
{
    return m_Device ? m_Device->Loss() : platform::LineLoss::None;
}
