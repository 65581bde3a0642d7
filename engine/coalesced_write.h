#pragma once

// A write that may be asked for far more often than it should run, such as
// saving a volume while its slider is dragged. The first request runs it at
// once; requests within the next interval are folded into one run when the
// interval ends, and so on for as long as they keep coming. The last request
// is therefore always followed by a run within one interval, and flush()
// runs a held one at once (at quit). Main thread only.

#include <QTimer>

#include <chrono>
#include <functional>

class CoalescedWrite {
public:
    // At most about four writes a second.
    static constexpr std::chrono::milliseconds kInterval{250};

    explicit CoalescedWrite(std::function<void()> write, std::chrono::milliseconds interval = kInterval);

    void request();
    void flush();
    bool pending() const { return m_pending; }

private:
    void run();

    std::function<void()> m_write;
    QTimer m_window;
    bool m_pending = false;
};
