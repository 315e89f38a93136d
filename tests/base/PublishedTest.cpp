#include "base/Published.h"
#include "base/ObjectWillChange.h"

#include <QCoreApplication>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

// An observable object as the application's own are built.
struct Model {
    ObjectWillChange objectWillChange;
    Published<int> count { 0, &objectWillChange };
};

class PublishedTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The current value on subscription, then "will change" and the value before each store, equal values too; a
    // dropped or cancelled token ends it, a moved one keeps it, and a handler may cancel itself and others.
    void delivery()
    {
        Model model;
        QStringList events;
        Subscription moved, first, second;
        first = model.objectWillChange.subscribe([&] {
            first.cancel();
            second.cancel();
        });
        second = model.objectWillChange.subscribe([&] { events << u"cancelled before its turn"_s; });
        {
            auto willChange = model.objectWillChange.subscribe(
                [&] { events << u"will change, holds %1"_s.arg(model.count.get()); });
            moved = model.count.subscribe(
                [&](const int &v) { events << u"value %1, holds %2"_s.arg(v).arg(model.count.get()); });
            model.count = 5;
            model.count = 5;
        }
        model.count = 6;
        moved.cancel();
        model.count = 7;
        QCOMPARE(events,
            QStringList({ u"value 0, holds 0"_s, u"will change, holds 0"_s, u"value 5, holds 0"_s,
                u"will change, holds 5"_s, u"value 5, holds 5"_s, u"value 6, holds 5"_s }));
        QCOMPARE(model.count.get(), 7);
        // Queued: every value, the current one first, on a later turn of the context thread's loop, also when stored
        // from another thread; none for a context destroyed or a token dropped while values were queued.
        QObject context;
        QList<int> seen;
        bool insideStore = true;
        int dropped = 0;
        auto token = model.count.subscribeOn(&context, [&](const int &v) {
            QVERIFY(!insideStore);
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            seen << v;
        });
        auto gone = std::make_unique<QObject>();
        auto forGoneContext = model.count.subscribeOn(gone.get(), [&](const int &) { ++dropped; });
        auto cancelled = model.count.subscribeOn(&context, [&](const int &) { ++dropped; });
        model.count = 1;
        model.count = 1;
        std::unique_ptr<QThread> worker(QThread::create([&] { model.count = 2; }));
        worker->start();
        QVERIFY(worker->wait(5000));
        gone.reset();
        cancelled.cancel();
        insideStore = false;
        QVERIFY(seen.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(seen, QList<int>({ 7, 1, 1, 2 }), 5000);
        QCoreApplication::processEvents();
        QCOMPARE(dropped, 0);
    }
};

QTEST_GUILESS_MAIN(PublishedTest)
#include "PublishedTest.moc"
