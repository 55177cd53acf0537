// Two service processes on one store, eight client processes (quillet_load_client) that
// race for the same cards and then send for a bounded time, spreading their calls over
// both; one service is killed with SIGKILL in the middle of the sending. Afterwards:
// every card spent once, every acknowledged message in the store exactly once and no
// other, every balance the sum of its ledger. Meant for PostgreSQL (the _pg run); the
// plain run does the same with two processes on one SQLite file.

#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

constexpr int Clients = 8;
constexpr int RaceCards = 4;
constexpr int SendMs = 4'000;
constexpr int KillAfterMs = 1'500;

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

QByteArray accountOf(int client)
{
    return "LOA-DTE-STC-0000" + QByteArray::number(client);
}

} // namespace

class TestServiceLoad : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoServicesEightClientsOneKilled()
    {
        // GIVEN two services on one store, an account funded for each client, and cards
        // that every client will try
        ServiceRig first;
        ServiceRig second(first);
        for (ServiceRig *rig : { &first, &second }) {
            rig->set(u"workers"_s, u"4"_s);
            rig->set(u"max_connections_per_peer"_s, u"64"_s);
        }
        const QString operatorToken = first.issue(u"operator"_s, u"ops"_s);
        QStringList tokens;
        for (int c = 0; c < Clients; ++c)
            tokens.append(first.issue(u"console"_s, u"desk-%1"_s.arg(c)));
        QVERIFY(operatorToken.startsWith(u"qgt_"_s));
        QString why;
        QVERIFY2(first.start(why), qPrintable(why));
        QVERIFY2(second.start(why), qPrintable(why));

        const auto issue = [&](int valueFen, int count) {
            const auto answer = first.post(u"/v1/operator/issueCards"_s,
                                           "{\"valueFen\":" + QByteArray::number(valueFen)
                                               + ",\"count\":" + QByteArray::number(count) + "}",
                                           operatorToken);
            return json(answer.body).value(u"cards"_s).toArray();
        };
        const QJsonArray funding = issue(1'000'000, Clients);
        QCOMPARE(funding.size(), Clients);
        for (int c = 0; c < Clients; ++c) {
            const QByteArray account = "\"accountNo\":\"" + accountOf(c) + "\"";
            QCOMPARE(first
                         .post(u"/v1/console/register"_s, "{" + account + ",\"password\":\"pw\"}",
                               tokens.at(c))
                         .status,
                     200);
            const QJsonObject card = funding.at(c).toObject();
            const auto recharged = first.post(
                u"/v1/console/recharge"_s,
                "{" + account + ",\"cardNo\":\"" + card.value(u"number"_s).toString().toLatin1()
                    + "\",\"cardPassword\":\"" + card.value(u"password"_s).toString().toLatin1()
                    + "\"}",
                tokens.at(c));
            QCOMPARE(json(recharged.body).value(u"outcome"_s).toInt(), -1);
        }
        QFile cards(first.dir() + u"/race-cards"_s);
        QVERIFY(cards.open(QIODevice::WriteOnly));
        for (const QJsonValue &card : issue(100, RaceCards))
            cards.write(card.toObject().value(u"number"_s).toString().toLatin1() + ' '
                        + card.toObject().value(u"password"_s).toString().toLatin1() + '\n');
        cards.close();

        // WHEN eight clients start together, and one service is killed while they send
        const qint64 startAt = QDateTime::currentMSecsSinceEpoch() + 1'500;
        const QString ports = u"%1,%2"_s.arg(first.port()).arg(second.port());
        std::vector<std::unique_ptr<QProcess>> clients;
        for (int c = 0; c < Clients; ++c) {
            clients.push_back(std::make_unique<QProcess>());
            clients.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            clients.back()->start(QStringLiteral(QUILLET_LOAD_CLIENT),
                                  { ports, tokens.at(c), QString::fromLatin1(accountOf(c)),
                                    cards.fileName(), QString::number(startAt),
                                    QString::number(SendMs), QString::number(c),
                                    first.dir() + u"/client-%1"_s.arg(c) });
        }
        QTest::qWait(int(startAt - QDateTime::currentMSecsSinceEpoch()) + KillAfterMs);
        QVERIFY(second.running());
        ::kill(pid_t(second.pid()), SIGKILL);
        for (const auto &client : clients) {
            QVERIFY(client->waitForFinished(40'000));
            QCOMPARE(client->exitCode(), 0);
        }

        // THEN each card went to exactly one client ...
        QHash<QByteArray, int> winners;
        QHash<QByteArray, int> sent;
        int failed = 0;
        for (int c = 0; c < Clients; ++c) {
            QFile out(first.dir() + u"/client-%1"_s.arg(c));
            QVERIFY(out.open(QIODevice::ReadOnly));
            for (const QByteArray &line : out.readAll().split('\n')) {
                const qsizetype space = line.indexOf(' ');
                const QByteArray kind = line.left(space);
                const QByteArray what = line.mid(space + 1);
                QVERIFY2(kind != "error" && kind != "abandoned", line.constData());
                if (kind == "won")
                    ++winners[what];
                else if (kind == "sent")
                    ++sent[what];
                else if (kind == "failed")
                    failed += what.toInt();
            }
        }
        QCOMPARE(winners.size(), RaceCards);
        for (auto it = winners.cbegin(); it != winners.cend(); ++it)
            QCOMPARE(it.value(), 1);
        StoreProbe probe(first.ownerUrl());
        QCOMPARE(probe.count(u"SELECT count(*) FROM cards WHERE spent_by IS NOT NULL"_s),
                 Clients + RaceCards);
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'recharge'"_s),
                 Clients + RaceCards);

        // ... every acknowledged message is in the store once, and nothing else is ...
        QVERIFY(sent.size() > Clients);
        QStringList doubled;
        for (const QString &row : probe.rows(u"SELECT text, count(*) FROM mt GROUP BY text"_s)) {
            const QStringList parts = row.split(u'|');
            if (parts.at(1) != u"1"_s || !sent.contains(parts.at(0).toLatin1()))
                doubled.append(row);
        }
        QCOMPARE(doubled, QStringList());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt"_s), qint64(sent.size()));
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'send'"_s),
                 qint64(sent.size()));

        // ... the balances are their ledgers, and the killed service did fail some calls,
        // which went through again on the other.
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        QCOMPARE(probe.unmatchedCharges(), QStringList());
        QVERIFY(failed > 0);
        qInfo("%lld messages acknowledged, %d calls failed in transit and were sent again",
              qint64(sent.size()), failed);
    }
};

QTEST_GUILESS_MAIN(TestServiceLoad)
#include "tst_serviceload.moc"
