#pragma once

#include <QtGlobal>

#include <atomic>

// A budget of memory for what readers of untrusted input hold whole (a
// manifest, a resource table, a signing block): each takes its bytes before it
// allocates them and gives them back when it lets them go. The process has
// one (ProcessMemoryBudget()) that every reader thread shares, so the memory
// held stays within it whatever the number of threads.
class MemoryBudget {
public:
    explicit MemoryBudget(qint64 total) : m_total(total), m_left(total) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes bytes when that many are left; false (nothing taken) otherwise.
    bool take(qint64 bytes) {
        if (bytes < 0)
            return false;
        qint64 left = m_left.load();
        while (left >= bytes) {
            if (m_left.compare_exchange_weak(left, left - bytes))
                return true;
        }
        return false;
    }
    void giveBack(qint64 bytes) { m_left.fetch_add(bytes); }

    qint64 total() const { return m_total; }
    qint64 left() const { return m_left.load(); }

private:
    const qint64 m_total;
    std::atomic<qint64> m_left;
};

// The process's budget: 128 MB.
MemoryBudget& ProcessMemoryBudget();

// Bytes taken from a budget for as long as the lease lives.
class MemoryLease {
public:
    explicit MemoryLease(MemoryBudget& budget) : m_budget(budget) {}
    ~MemoryLease() { release(); }
    MemoryLease(const MemoryLease&) = delete;
    MemoryLease& operator=(const MemoryLease&) = delete;

    // Takes bytes more; false when the budget has not that many left.
    bool take(qint64 bytes) {
        if (!m_budget.take(bytes))
            return false;
        m_held += bytes;
        return true;
    }
    void release() {
        m_budget.giveBack(m_held);
        m_held = 0;
    }
    qint64 held() const { return m_held; }
    MemoryBudget& budget() const { return m_budget; }

private:
    MemoryBudget& m_budget;
    qint64 m_held = 0;
};
