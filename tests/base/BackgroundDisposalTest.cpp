#include "base/BackgroundDisposal.h"

#include <QTest>

#include <atomic>
#include <thread>

// The last reference let go of here; the destructor waits, as a join or a library's lock would.
struct SlowToDestroy {
    std::atomic<int> *order;
    int index;
    std::atomic<std::thread::id> *where;
    ~SlowToDestroy()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        *where = std::this_thread::get_id();
        order->compare_exchange_strong(index, index + 1); // advances only in order
    }
};

class BackgroundDisposalTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Objects made to be disposed of in the background die on another thread, in the order let go.
    void destroysElsewhereInOrder()
    {
        std::atomic<int> order = 0;
        std::atomic<std::thread::id> where;
        for (int i = 0; i < 3; ++i)
            BackgroundDisposal::makeShared<SlowToDestroy>(&order, i, &where).reset();
        QTRY_COMPARE(order.load(), 3);
        QVERIFY(where.load() != std::this_thread::get_id());
    }
};

QTEST_GUILESS_MAIN(BackgroundDisposalTest)
#include "BackgroundDisposalTest.moc"
