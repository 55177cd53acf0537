// An application's cancel against a link's claim of the same queued message, at the same
// moment, round after round, each on a connection of its own: every message is either
// claimed by the link (and the cancel refused, nothing refunded) or cancelled and refunded
// once (and the link never sees it), never both and never neither.

#include "gateway/local/applicationapi.h"
#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QTest>

#include <atomic>
#include <barrier>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
constexpr int Rounds = 100;
constexpr qint64 Lease = 600000;

std::unique_ptr<LocalGateway> open(const TestStore &store)
{
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    options.route = [](const QString &) { return u"main"_s; };
    std::unique_ptr<LocalGateway> gateway;
    if (LocalGateway::open(store.location(), gateway, options).failed())
        return {};
    return gateway;
}

} // namespace

class TestApplicationCancel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cancelRacesClaim()
    {
        TestStore store;
        const auto gateway = open(store);
        QVERIFY(gateway);
        QList<LocalGateway::IssuedCard> cards;
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        Bool16 recharged = 0;
        QVERIFY(LocalOperator(*gateway).issueCards(10000, 1, cards).isOk());
        QVERIFY(gateway->Register(p, registered).isOk());
        QVERIFY(gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).isOk());
        QCOMPARE(recharged, True16);

        // Each round: the message to race over, then both racers let go at once.
        std::barrier<> start(3);
        std::barrier<> end(3);
        std::atomic<qint64> message = 0;
        std::atomic<int> claimed = -1;
        std::atomic<int> outcome = -1;
        std::atomic<bool> failed = false;
        std::thread link([&] {
            const auto own = open(store);
            LinkQueue queue(*own, u"a"_s);
            for (int round = 0; round < Rounds; ++round) {
                start.arrive_and_wait();
                const auto taken = queue.claim(u"main"_s, 10, Lease, {});
                failed = failed || taken.failed();
                claimed = taken.failed() ? -1 : int(taken->size());
                end.arrive_and_wait();
            }
        });
        std::thread canceller([&] {
            const auto own = open(store);
            ApplicationApi api(*own);
            for (int round = 0; round < Rounds; ++round) {
                start.arrive_and_wait();
                const auto cancelled = api.cancel(Account, message);
                failed = failed || cancelled.failed();
                outcome = cancelled.failed() ? -1 : int(cancelled->outcome);
                end.arrive_and_wait();
            }
        });

        const StoreProbe probe(store.url());
        ApplicationApi api(*gateway);
        int cancels = 0;
        int claims = 0;
        // What any round got wrong; every round runs, so that the racers are never left
        // waiting for one that does not come.
        QStringList wrong;
        for (int round = 0; round < Rounds; ++round) {
            ApplicationApi::Send send;
            send.to = QStringList { u"13800138000"_s };
            send.text = u"race %1"_s.arg(round);
            const auto sent = api.send(Account, send);
            const qint64 id
                = sent.failed() || sent->messages.isEmpty() ? 0 : sent->messages.constFirst().id;
            message = id;
            start.arrive_and_wait();
            end.arrive_and_wait();
            const QString which = QString::number(id);
            const qint64 refunds
                = probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund' AND "
                              u"reference = 'mt:"_s
                              + which + u"'"_s);
            const QString row = probe
                                    .rows(u"SELECT state || ' ' || coalesce(claimed_by, '-') "
                                          u"FROM mt WHERE id = "_s
                                          + which)
                                    .value(0);
            const QString seen = u"round %1: cancel %2, claimed %3, %4, %5 refunds"_s.arg(
                QString::number(round), QString::number(outcome.load()),
                QString::number(claimed.load()), row, QString::number(refunds));
            if (outcome == int(ApplicationApi::Cancelled::Outcome::Cancelled)) {
                ++cancels;
                if (claimed != 0 || row != u"cancelled -"_s || refunds != 1)
                    wrong.append(seen);
            } else {
                ++claims;
                if (outcome != int(ApplicationApi::Cancelled::Outcome::NotCancellable)
                    || claimed != 1 || row != u"queued a"_s || refunds != 0)
                    wrong.append(seen);
            }
        }
        // Whatever failed above, the racers are let go before the test ends.
        link.join();
        canceller.join();
        QVERIFY(!failed);
        QCOMPARE(wrong, QStringList());
        QCOMPARE(cancels + claims, Rounds);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        qInfo("%d cancelled first, %d claimed first", cancels, claims);
    }
};

QTEST_GUILESS_MAIN(TestApplicationCancel)
#include "tst_applicationcancel.moc"
