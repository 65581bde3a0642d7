#include "coalesced_write.h"

CoalescedWrite::CoalescedWrite(std::function<void()> write, std::chrono::milliseconds interval)
    : m_write(std::move(write))
{
    m_window.setSingleShot(true);
    m_window.setInterval(interval);
    m_window.callOnTimeout([this] {
        if (m_pending)
            run();
    });
}

void CoalescedWrite::request()
{
    if (m_window.isActive()) {
        m_pending = true;
        return;
    }
    run();
}

void CoalescedWrite::flush()
{
    if (m_pending)
        run();
}

// Every run opens a new interval, so two runs are always an interval apart
// unless flush() asks for one.
void CoalescedWrite::run()
{
    m_pending = false;
    m_window.start();
    m_write();
}
