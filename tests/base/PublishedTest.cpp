#include "base/Published.h"
#include "base/ObjectWillChange.h"

#include <QCoreApplication>
#include <QTest>

#include <memory>

namespace {

// An observable object as the application's own are built.
struct Model {
    ObjectWillChange objectWillChange;
    Published<int> count { 0, &objectWillChange };
    Published<QString> text { QString(), &objectWillChange };
};

} // namespace

class PublishedTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void notifiesBeforeStoreAlsoForEqualValues()
    {
        Model model;
        QStringList events;
        Cancellables cancellables;
        cancellables.push_back(model.objectWillChange.subscribe(
            [&] { events << QStringLiteral("will change, holds %1").arg(model.count.get()); }));
        cancellables.push_back(model.count.subscribe(
            [&](const int &v) { events << QStringLiteral("value %1, holds %2").arg(v).arg(model.count.get()); }));

        model.count = 5;
        model.count = 5;
        QCOMPARE(events,
            QStringList({ QStringLiteral("value 0, holds 0"), // current value on subscription
                QStringLiteral("will change, holds 0"), QStringLiteral("value 5, holds 0"),
                QStringLiteral("will change, holds 5"), QStringLiteral("value 5, holds 5") }));
        QCOMPARE(model.count.get(), 5);
    }

    void droppedTokenEndsTheSubscription()
    {
        Model model;
        int calls = 0;
        {
            auto token = model.count.subscribe([&](const int &) { ++calls; });
            model.count = 1;
            QCOMPARE(calls, 2);
        }
        model.count = 2;
        QCOMPARE(calls, 2);

        // A moved token keeps the subscription; resetting the new owner ends it.
        Subscription moved;
        {
            auto token = model.objectWillChange.subscribe([&] { ++calls; });
            moved = std::move(token);
        }
        model.count = 3;
        QCOMPARE(calls, 3);
        moved.cancel();
        model.count = 4;
        QCOMPARE(calls, 3);
    }

    void handlerMayCancelItselfAndOthersWhileDelivering()
    {
        Model model;
        Subscription first, second;
        int secondCalls = 0;
        first = model.objectWillChange.subscribe([&] {
            first.cancel();
            second.cancel();
        });
        second = model.objectWillChange.subscribe([&] { ++secondCalls; });
        model.count = 1;
        model.count = 2;
        QCOMPARE(secondCalls, 0);
    }

    void queuedDeliveryNeverRunsInsideTheStore()
    {
        Model model;
        QObject context;
        QList<int> seen;
        bool insideStore = false;
        auto token = model.count.subscribeOn(&context, [&](const int &v) {
            QVERIFY(!insideStore);
            QCOMPARE(QThread::currentThread(), context.thread());
            seen << v;
        });
        QVERIFY(seen.isEmpty()); // even the current value waits for the event loop
        insideStore = true;
        model.count = 1;
        model.count = 1;
        model.count = 2;
        insideStore = false;
        QVERIFY(seen.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 4, 5000);
        QCOMPARE(seen, QList<int>({ 0, 1, 1, 2 }));
    }

    void queuedValueIsDroppedForDestroyedContextOrDroppedToken()
    {
        Model model;
        int delivered = 0;
        auto context = std::make_unique<QObject>();
        auto forGoneContext = model.count.subscribeOn(context.get(), [&](const int &) { ++delivered; });
        model.count = 1;
        context.reset(); // destroyed with values still queued for it

        QObject living;
        auto dropped = model.count.subscribeOn(&living, [&](const int &) { ++delivered; });
        model.count = 2;
        dropped.cancel(); // dropped with values still queued

        int control = 0;
        auto kept = model.count.subscribeOn(&living, [&](const int &) { ++control; });
        QTRY_COMPARE_WITH_TIMEOUT(control, 1, 5000);
        QCoreApplication::processEvents();
        QCOMPARE(delivered, 0);
        model.count = 3;
        QTRY_COMPARE_WITH_TIMEOUT(control, 2, 5000);
        QCOMPARE(delivered, 0);
    }

    void storesFromAnotherThreadHopToTheContextThread()
    {
        // The capture and speech threads post their values; the hop lands them on the main thread.
        Model model;
        QObject context;
        QList<int> seen;
        auto token = model.count.subscribeOn(&context, [&](const int &v) {
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            seen << v;
        });
        std::unique_ptr<QThread> worker(QThread::create([&] { model.count = 7; }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(seen, QList<int>({ 0, 7 }), 5000);
    }
};

QTEST_GUILESS_MAIN(PublishedTest)
#include "PublishedTest.moc"
