// Work done on a worker for the window: its result comes back on the window's thread, is dropped
// when the context is gone, and what the work held is freed on the worker, not the window.

#include "app/background.h"

#include <QList>
#include <QTest>

#include <atomic>
#include <memory>

namespace {
// A value whose last owner records the thread it was freed on.
std::shared_ptr<int> tracked(std::atomic<QThread *> *freedOn)
{
    return std::shared_ptr<int>(new int(7), [freedOn](int *value) {
        freedOn->store(QThread::currentThread());
        delete value;
    });
}
} // namespace

class TestBackground : public QObject
{
    Q_OBJECT

private slots:
    void resultComesBackOnTheWindowsThread()
    {
        QObject context;
        QThread *workedOn = nullptr;
        QThread *doneOn = nullptr;
        int result = 0;
        RunInBackground(
            &context, [&workedOn] { workedOn = QThread::currentThread(); return 42; },
            [&](int value) {
                doneOn = QThread::currentThread();
                result = value;
            });
        QTRY_COMPARE(result, 42);
        QCOMPARE(doneOn, QThread::currentThread());
        QVERIFY(workedOn != nullptr && workedOn != QThread::currentThread());
    }

    void resultDroppedWhenTheContextIsGone()
    {
        auto context = std::make_unique<QObject>();
        std::atomic<bool> worked{false};
        bool done = false;
        RunInBackground(context.get(), [&worked] { worked = true; return 1; }, [&done](int) { done = true; });
        context.reset();
        QTRY_VERIFY(worked.load());
        QTest::qWait(100); // the queued result, had it been delivered, would have come by now
        QVERIFY(!done);
    }

    void whatTheWorkHeldIsFreedOnTheWorker_data()
    {
        QTest::addColumn<bool>("viaFree"); // FreeInBackground, else the captures of RunInBackground's work
        QTest::newRow("work's captures") << false;
        QTest::newRow("freed value") << true;
    }

    void whatTheWorkHeldIsFreedOnTheWorker()
    {
        QFETCH(bool, viaFree);
        std::atomic<QThread *> freedOn{nullptr};
        QObject context;
        bool done = false;
        if (viaFree) {
            QList<std::shared_ptr<int>> list{tracked(&freedOn)};
            FreeInBackground(std::move(list));
            done = true;
        } else {
            RunInBackground(
                &context, [value = tracked(&freedOn)] { return *value; }, [&done](int) { done = true; });
        }
        QTRY_VERIFY(done);
        QTRY_VERIFY(freedOn.load() != nullptr);
        QVERIFY(freedOn.load() != QThread::currentThread());
    }
};

QTEST_GUILESS_MAIN(TestBackground)
#include "tst_background.moc"
