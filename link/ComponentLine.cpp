#include "link/ComponentLine.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace {

// No wait for the component's output lasts longer than one wait time (and at
// least half a second): a line that never frees up fails instead of hanging
// the program.
std::chrono::steady_clock::time_point OutputDeadline(const ILineWaits& waits)
{
    return std::chrono::steady_clock::now()
        + std::chrono::milliseconds(std::max(waits.WaitTimeMs(), 500));
}

// Idles through `waits` while `busy` holds; false when the deadline passed
// first.
template <typename Busy>
bool WaitWhile(
    Busy busy, ILineWaits& waits, std::chrono::steady_clock::time_point deadline, int sliceMs)
{
    while (busy()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        waits.IdlePass(sliceMs);
    }
    return true;
}

} // namespace

bool ComponentLine::IsOpen() const
{
    return m_Component != nullptr && m_Component->IsOpen();
}

void ComponentLine::Close(ILineWaits& waits)
{
    if (!IsOpen()) {
        return;
    }
    try {
        // Let the last frame leave the output buffer first.
        WaitWhile([this] { return m_Component->IsOpen() && m_Component->OutputUsed() > 0; }, waits,
            OutputDeadline(waits), 5);
        waits.StopWaitTimer();
        m_Component->EmptyInputBuffer();
        m_Component->EmptyOutputBuffer();
        m_Component->Close();
    } catch (const std::exception&) {
        // A component that fails while closing is closed as far as the
        // session is concerned.
    }
}

void ComponentLine::SetBaudRate(int baudRate)
{
    if (m_Component != nullptr) {
        m_Component->SetBaudRate(baudRate);
    }
}

bool ComponentLine::ReadyToSend(int length, ILineWaits& waits)
{
    if (m_Component == nullptr) {
        return false;
    }
    // The output buffer must have room for the whole frame, and in RS-485
    // mode the line must be free (CTS off).
    const auto deadline = OutputDeadline(waits);
    try {
        return WaitWhile(
                   [&] { return m_Component->IsOpen() && m_Component->OutputFree() < length; },
                   waits, deadline, 2)
            && WaitWhile(
                [this] {
                    return m_Component->IsOpen() && m_Component->Rs485Mode() && m_Component->Cts();
                },
                waits, deadline, 2)
            && m_Component->IsOpen();
    } catch (const std::exception&) {
        return false;
    }
}

int ComponentLine::Write(const uint8_t* bytes, int count)
{
    if (m_Component == nullptr) {
        return -1;
    }
    try {
        return m_Component->WriteBlock(bytes, count) == 0 ? 1 : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

bool ComponentLine::ByteReady()
{
    return m_Component != nullptr && m_Component->ByteReady();
}

bool ComponentLine::ReadByte(uint8_t& byte)
{
    if (m_Component == nullptr) {
        return false;
    }
    byte = m_Component->GetByte();
    return true;
}

int ComponentLine::WaitHandle() const
{
    return m_Component != nullptr ? m_Component->WaitHandle() : -1;
}

platform::LineLoss ComponentLine::Loss() const
{
    return m_Component != nullptr ? m_Component->Loss() : platform::LineLoss::None;
}
