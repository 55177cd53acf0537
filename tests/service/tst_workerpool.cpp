// Group commit in the worker pool, on a table of the test's own: which writes share a
// transaction (as the commits report them: writes that went in), that one write's failure
// undoes only its own rows, that a failed commit reaches every write whose work it held,
// and the order the writes of a batch run in.

#include "gateway/local/store.h"
#include "service/servicestore.h"
#include "service/workerpool.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QTest>

#include <atomic>
#include <semaphore>

using namespace Qt::StringLiterals;

namespace {

// What a write does in its savepoint. InnerThenFail keeps a savepoint of its own inside
// it, and then fails.
enum class Does { Insert, Fail, Orphan, InnerThenFail };

} // namespace

Q_DECLARE_METATYPE(Does)

class TestWorkerPool : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One store for the suite, with a table of the test's own.
    void initTestCase()
    {
        QVERIFY(m_store.isValid());
        m_tables = ServiceStore::initialize(m_store.location());
        std::unique_ptr<Store> setup;
        if (m_tables.isOk())
            m_tables = Store::open(m_store.location(), setup);
        if (m_tables.isOk())
            m_tables = setup->execute(u"CREATE TABLE parents (id INTEGER PRIMARY KEY)"_s);
        if (m_tables.isOk())
            m_tables = setup->execute(
                u"CREATE TABLE written (seq INTEGER, account TEXT, parent "
                u"INTEGER REFERENCES parents(id) DEFERRABLE INITIALLY DEFERRED)"_s);
        QVERIFY2(m_tables.isOk(), qPrintable(m_tables.description()));
    }

    void batches_data()
    {
        QTest::addColumn<int>("batchMost");
        QTest::addColumn<QStringList>("accounts");
        QTest::addColumn<QList<Does>>("does");
        QTest::addColumn<QList<int>>("batches");
        QTest::addColumn<QString>("ran");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<int>("failedDone");

        // Writes 1 to 5 name these accounts; write 0 holds the first commit.
        const QStringList five { u"5"_s, u"3"_s, u"4"_s, u"1"_s, u"2"_s };
        const QList<Does> inserts(5, Does::Insert);
        // A batch runs its writes in the order of their accounts where the store holds
        // rows (PostgreSQL), else in the order they came.
        const bool held = TestStore::onPostgresql();
        QTest::newRow("waiting writes share one commit")
            << 64 << five << inserts << QList<int> { 1, 5 }
            << (held ? u"0 4 5 2 3 1"_s : u"0 1 2 3 4 5"_s) << u"0 1 2 3 4 5"_s << 0;
        QTest::newRow("a batch holds at most batchMost")
            << 2 << five << inserts << QList<int> { 1, 2, 2, 1 }
            << (held ? u"0 2 1 4 3 5"_s : u"0 1 2 3 4 5"_s) << u"0 1 2 3 4 5"_s << 0;
        QTest::newRow("a failing write undoes only its own rows")
            << 64 << five
            << QList<Does> { Does::Insert, Does::Fail, Does::Insert, Does::Fail, Does::Insert }
            << QList<int> { 1, 3 } << (held ? u"0 4 5 2 3 1"_s : u"0 1 2 3 4 5"_s) << u"0 1 3 5"_s
            << 0;
        QTest::newRow("a failing write undoes its rows before the savepoint it kept")
            << 64 << five
            << QList<Does> { Does::Insert, Does::InnerThenFail, Does::Insert, Does::Insert,
                             Does::Insert }
            << QList<int> { 1, 4 } << (held ? u"0 4 5 2 3 1"_s : u"0 1 2 3 4 5"_s) << u"0 1 3 4 5"_s
            << 0;
        QTest::newRow("a failed commit reaches every write that went into it")
            << 64 << five
            << QList<Does> { Does::Insert, Does::Fail, Does::Orphan, Does::Insert, Does::Insert }
            << QList<int> { 1 } << (held ? u"0 4 5 2 3 1"_s : u"0 1 2 3 4 5"_s) << u"0"_s << 4;
        QStringList forty;
        QStringList fortyRan { u"0"_s };
        for (int i = 1; i <= 40; ++i) {
            forty.append(u"%1"_s.arg(i, 2, 10, QChar(u'0')));
            fortyRan.append(QString::number(i));
        }
        QTest::newRow("a batch holds at most 32 where rows are held")
            << 64 << forty << QList<Does>(40, Does::Insert)
            << (held ? QList<int> { 1, 32, 8 } : QList<int> { 1, 40 }) << fortyRan.join(u' ')
            << fortyRan.join(u' ') << 0;
        QTest::newRow("a write of no known account commits alone where rows are held")
            << 64 << QStringList { u"2"_s, QString(), u"1"_s } << QList<Does>(3, Does::Insert)
            << (held ? QList<int> { 1, 2, 1 } : QList<int> { 1, 3 })
            << (held ? u"0 3 1 2"_s : u"0 1 2 3"_s) << u"0 1 2 3"_s << 0;
    }

    void batches()
    {
        QFETCH(int, batchMost);
        QFETCH(QStringList, accounts);
        QFETCH(QList<Does>, does);
        QFETCH(QList<int>, batches);
        QFETCH(QString, ran);
        QFETCH(QString, rows);
        QFETCH(int, failedDone);

        // GIVEN a pool whose first write holds its commit until the others wait
        QVERIFY(m_store.isValid());
        QVERIFY(m_tables.isOk());
        {
            std::unique_ptr<Store> setup;
            QVERIFY(Store::open(m_store.location(), setup).isOk());
            QVERIFY(setup->execute(u"DELETE FROM written"_s).isOk());
        }
        std::mutex mutex;
        QList<int> sizes;
        QStringList order;
        WorkerPool::Options options;
        options.store = m_store.location();
        // One batch at a time on either engine: one thread commits, one hands writes in.
        options.threads = 2;
        options.batchMost = batchMost;
        options.committed = [&](int size) {
            std::lock_guard lock(mutex);
            sizes.append(size);
        };
        std::binary_semaphore holding(0);
        std::binary_semaphore release(0);
        std::atomic<int> handedIn = 0;
        std::atomic<int> done = 0;
        std::atomic<int> failed = 0;
        {
            WorkerPool pool(options);
            const auto write = [&](int seq, const QString &account, Does what, bool hold) {
                return WorkerPool::Write {
                    account,
                    [=, &holding, &release, &mutex, &order](Worker &worker) {
                        if (hold) {
                            holding.release();
                            release.acquire();
                        }
                        {
                            std::lock_guard lock(mutex);
                            order.append(QString::number(seq));
                        }
                        Store &s = worker.service->store();
                        const Result<Store::Decision> decided
                            = s.transaction([&]() -> Result<Store::Decision> {
                                  QSqlQuery q = s.query();
                                  QUILLET_TRY(
                                      s.run(q,
                                            u"INSERT INTO written (seq, account, parent) "
                                            u"VALUES (?, ?, ?)"_s,
                                            { seq, account,
                                              what == Does::Orphan ? QVariant(7) : QVariant() }));
                                  if (what == Does::InnerThenFail)
                                      QUILLET_TRY(s.transaction([] {
                                                       return Result<Store::Decision>(
                                                           Store::Decision::Commit);
                                                   }).status());
                                  if (what == Does::Fail || what == Does::InnerThenFail)
                                      return s.failure(Store::InvalidArgument, u"refused"_s);
                                  return Store::Decision::Commit;
                              });
                        return !decided.failed();
                    },
                    [&](const Status &ended) {
                        failed += ended.failed() ? 1 : 0;
                        ++done;
                    }
                };
            };
            pool.post(
                [&](Worker &worker) { pool.commit(worker, write(0, u"0"_s, Does::Insert, true)); },
                WorkerPool::Lane::Write);
            holding.acquire();
            // WHEN the other writes are handed in while the first one's commit runs (by the
            // one other thread, in this order)
            for (int i = 0; i < accounts.size(); ++i) {
                pool.post(
                    [&, i](Worker &worker) {
                        pool.commit(worker, write(i + 1, accounts.at(i), does.at(i), false));
                        ++handedIn;
                    },
                    WorkerPool::Lane::Write);
            }
            QTRY_COMPARE(handedIn.load(), accounts.size());
            release.release();
            QTRY_COMPARE(done.load(), accounts.size() + 1);
        }

        // THEN they shared the commits the table says, and only the rows it says stand
        QCOMPARE(sizes, batches);
        QCOMPARE(order.join(u' '), ran);
        QCOMPARE(failed.load(), failedDone);
        StoreProbe probe(m_store.url());
        QCOMPARE(probe.rows(u"SELECT seq FROM written ORDER BY seq"_s).join(u' '), rows);
    }

private:
    TestStore m_store;
    Status m_tables;
};

QTEST_GUILESS_MAIN(TestWorkerPool)
#include "tst_workerpool.moc"
