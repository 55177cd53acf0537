// The gateway's receiving: arrivals from handsets (one at a time and in bulk, refused
// ones, by account or service number), the forwarding and automatic reply they set off,
// and fetching the backlog in batches, all or by extension. Run in process and through
// the service (gatewaysuite.h).

#include "tests/gateway/local/gatewaysuite.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/testgateway.h"
#include "gateway/operatorbackend.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(LocalGateway::MoOutcome)
Q_DECLARE_METATYPE(LocalGateway::ReplyState)

class TestGatewayReceiving : public GatewaySuite {
    Q_OBJECT

private Q_SLOTS:
    void receiveInBatches()
    {
        QCOMPARE(registerAccount(Account), True16);
        const QDateTime start = m_now;
        for (int i = 0; i < 25; ++i) {
            m_now = start.addSecs(i);
            arrive(u"1390000%1"_s.arg(i, 4, 10, QChar(u'0')), u"消息 %1"_s.arg(i));
        }
        // Through the service the arrivals take the machine's time, in order.
        const QString finished = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s);
        QString previous = start.toString(u"yyyy-MM-dd HH:mm:ss"_s);
        QList<LocalGateway::AccountSummary> list;
        QVERIFY(m_operator->accounts(list).isOk());
        const QString service = list.first().serviceNumber;

        const QStringList totals { u"25"_s, u"15"_s, u"5"_s };
        const QStringList currents { u"10"_s, u"10"_s, u"5"_s };
        int next = 0;
        for (int call = 0; call < 3; ++call) {
            const Batch batch = receive(Account);
            QCOMPARE(batch.outcome, True16);
            QCOMPARE(batch.total, totals.at(call));
            QCOMPARE(batch.current, currents.at(call));
            QCOMPARE(batch.table.rows(), batch.current.toInt());
            QCOMPARE(batch.table.columns(), 4);
            for (int row = 0; row < batch.table.rows(); ++row, ++next) {
                QString field;
                QVERIFY(batch.table.at(row, 0, field).isOk());
                QCOMPARE(field, service);
                QVERIFY(batch.table.at(row, 1, field).isOk());
                QCOMPARE(field, u"1390000%1"_s.arg(next, 4, 10, QChar(u'0')));
                QVERIFY(batch.table.at(row, 2, field).isOk());
                QCOMPARE(field, u"消息 %1"_s.arg(next));
                QVERIFY(batch.table.at(row, 3, field).isOk());
                if (TestGateway::clockControlled()) {
                    QCOMPARE(field, start.addSecs(next).toString(u"yyyy-MM-dd HH:mm:ss"_s));
                } else {
                    QVERIFY2(field >= previous && field <= finished, qPrintable(field));
                    previous = field;
                }
            }
        }
        const Batch empty = receive(Account);
        QCOMPARE(empty.outcome, True16);
        QCOMPARE(empty.total, u"0"_s);
        QCOMPARE(empty.current, u"0"_s);
        QCOMPARE(empty.table.rows(), 0);
        // Fetched messages are kept.
        QCOMPARE(
            StoreProbe(storePath()).count(u"SELECT count(*) FROM mo WHERE state = 'fetched'"_s),
            25);
    }

    // A receive call reads the waiting count from counters kept with each arrival and
    // fetch; the totals it reports are those of counting the backlog, at any size.
    void backlogTotals_data()
    {
        QTest::addColumn<int>("plain");
        QTest::addColumn<int>("withExtension");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QStringList>("totals");
        QTest::addColumn<QStringList>("currents");
        QTest::addColumn<qint64>("waitingAfter");
        QTest::newRow("none waiting")
            << 0 << 0 << QString() << QStringList { u"0"_s } << QStringList { u"0"_s } << qint64(0);
        QTest::newRow("one waiting") << 1 << 0 << QString() << QStringList { u"1"_s, u"0"_s }
                                     << QStringList { u"1"_s, u"0"_s } << qint64(0);
        QTest::newRow("exactly one batch")
            << 10 << 0 << QString() << QStringList { u"10"_s, u"0"_s }
            << QStringList { u"10"_s, u"0"_s } << qint64(0);
        QTest::newRow("one past a batch")
            << 11 << 0 << QString() << QStringList { u"11"_s, u"1"_s, u"0"_s }
            << QStringList { u"10"_s, u"1"_s, u"0"_s } << qint64(0);
        QTest::newRow("large backlog")
            << 20000 << 0 << QString() << QStringList { u"20000"_s, u"19990"_s, u"19980"_s }
            << QStringList { u"10"_s, u"10"_s, u"10"_s } << qint64(19970);
        QTest::newRow("all, with extensions among them")
            << 5 << 7 << QString() << QStringList { u"12"_s, u"2"_s, u"0"_s }
            << QStringList { u"10"_s, u"2"_s, u"0"_s } << qint64(0);
        QTest::newRow("one extension among others")
            << 30 << 12 << u"7"_s << QStringList { u"12"_s, u"2"_s, u"0"_s }
            << QStringList { u"10"_s, u"2"_s, u"0"_s } << qint64(30);
        QTest::newRow("an extension nobody used")
            << 30 << 12 << u"8"_s << QStringList { u"0"_s } << QStringList { u"0"_s } << qint64(42);
        QTest::newRow("large backlog behind one extension")
            << 20000 << 15 << u"7"_s << QStringList { u"15"_s, u"5"_s, u"0"_s }
            << QStringList { u"10"_s, u"5"_s, u"0"_s } << qint64(20000);
    }

    void backlogTotals()
    {
        QFETCH(int, plain);
        QFETCH(int, withExtension);
        QFETCH(QString, extension);
        QFETCH(QStringList, totals);
        QFETCH(QStringList, currents);
        QFETCH(qint64, waitingAfter);

        // GIVEN a backlog written straight into the store, half of it already fetched
        QCOMPARE(registerAccount(Account), True16);
        StoreProbe probe(storePath());
        const QString insert = u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                               u"WHERE i < %1) INSERT INTO mo (account_id, sender, extension, "
                               u"text, sent_at, state) SELECT (SELECT id FROM accounts), "
                               u"'13900139000', '%2', 'm' || i, "_s
            + probe.timeFromMs(u"%3 + i"_s) + u", '%4' FROM n"_s;
        const qint64 sent = m_now.toMSecsSinceEpoch();
        for (const QString &state : { u"fetched"_s, u"waiting"_s }) {
            if (plain > 0)
                QVERIFY(probe.exec(insert.arg(plain).arg(QString()).arg(sent).arg(state)));
            if (withExtension > 0)
                QVERIFY(probe.exec(insert.arg(withExtension).arg(u"7"_s).arg(sent).arg(state)));
        }

        // WHEN batches are fetched, THEN each reports what was waiting before it
        for (qsizetype call = 0; call < totals.size(); ++call) {
            const Batch batch
                = extension.isEmpty() ? receive(Account) : receive(Account, extension);
            QCOMPARE(batch.outcome, True16);
            QCOMPARE(batch.total, totals.at(call));
            QCOMPARE(batch.current, currents.at(call));
        }
        QList<LocalGateway::AccountSummary> list;
        QVERIFY(m_operator->accounts(list).isOk());
        QCOMPARE(list.value(0).waiting, waitingAfter);
    }

    void receiveByExtension_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<Bool16>("outcome");
        QTest::addColumn<QString>("total");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("empty: every message")
            << QString() << True16 << u"3"_s << QStringList { u"plain"_s, u"to 12"_s, u"to 7"_s };
        QTest::newRow("extension 12") << u"12"_s << True16 << u"1"_s << QStringList { u"to 12"_s };
        QTest::newRow("extension 1 is not 12") << u"1"_s << True16 << u"0"_s << QStringList();
        QTest::newRow("letters") << u"ab"_s << False16 << QString() << QStringList();
        QTest::newRow("seven digits") << u"1234567"_s << False16 << QString() << QStringList();
    }

    void receiveByExtension()
    {
        QFETCH(QString, extension);
        QFETCH(Bool16, outcome);
        QFETCH(QString, total);
        QFETCH(QStringList, texts);

        QCOMPARE(registerAccount(Account), True16);
        arrive(Phone, u"plain"_s);
        m_now = m_now.addSecs(1);
        arrive(Phone, u"to 12"_s, u"12"_s);
        m_now = m_now.addSecs(1);
        arrive(Phone, u"to 7"_s, u"7"_s);

        const Batch batch = receive(Account, extension);
        QCOMPARE(batch.outcome, outcome);
        if (outcome == False16) {
            QCOMPARE(batch.total, u"before"_s); // slots untouched
            return;
        }
        QCOMPARE(batch.total, total);
        QStringList got;
        for (int row = 0; row < batch.table.rows(); ++row) {
            QString text;
            QVERIFY(batch.table.at(row, 2, text).isOk());
            got.append(text);
        }
        QCOMPARE(got, texts);
    }

    void forwardingAndAutoReplySettings_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("forwarding to a phone") << u"forwarding"_s << u"13900139000"_s << true;
        QTest::newRow("forwarding with blanks around")
            << u"forwarding"_s << u" 13900139000 "_s << true;
        QTest::newRow("forwarding to empty") << u"forwarding"_s << QString() << false;
        QTest::newRow("forwarding to a landline with dash")
            << u"forwarding"_s << u"010-1234"_s << false;
        QTest::newRow("forwarding to two phones") << u"forwarding"_s << u"139,138"_s << false;
        QTest::newRow("reply text") << u"reply"_s << u"SDK申请转发内容。"_s << true;
        QTest::newRow("reply of blanks") << u"reply"_s << u"   "_s << true;
        QTest::newRow("reply empty") << u"reply"_s << QString() << false;
    }

    void forwardingAndAutoReplySettings()
    {
        QFETCH(QString, which);
        QFETCH(QString, value);
        QFETCH(bool, accepted);
        const bool forwarding = which == u"forwarding"_s;
        QCOMPARE(registerAccount(Account), True16);

        auto get = [&] {
            QString text = u"untouched"_s;
            const Status s = forwarding ? m_gateway->GetForwarding(Account, text)
                                        : m_gateway->GetAutoReply(Account, text);
            return s.isOk() ? text : u"failed"_s;
        };
        auto cancel = [&] {
            Bool16 outcome = 1;
            const Status s = forwarding ? m_gateway->CancelForwarding(Account, outcome)
                                        : m_gateway->CancelAutoReply(Account, outcome);
            return s.isOk() ? outcome : Bool16(1);
        };

        // Nothing set: Get answers empty, Cancel fails.
        QCOMPARE(get(), QString());
        QCOMPARE(cancel(), False16);

        Bool16 outcome = 1;
        QVERIFY((forwarding ? m_gateway->SetForwarding(Account, value, outcome)
                            : m_gateway->SetAutoReply(Account, value, outcome))
                    .isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        QCOMPARE(get(), accepted ? (forwarding ? value.trimmed() : value) : QString());
        QCOMPARE(cancel(), accepted ? True16 : False16);
        QCOMPARE(get(), QString());
        QCOMPARE(cancel(), False16);
    }

    void arrivingMessageSetsOffForwardingAndReply_data()
    {
        using RS = LocalGateway::ReplyState;
        QTest::addColumn<qint64>("startFen");
        QTest::addColumn<bool>("signedOn");
        QTest::addColumn<RS>("forwarded");
        QTest::addColumn<RS>("replied");
        QTest::addColumn<QString>("balanceAfter");
        QTest::addColumn<qint64>("notSent");
        QTest::newRow("both covered")
            << qint64(100) << true << RS::Delivered << RS::Delivered << u"0.80"_s << qint64(0);
        QTest::newRow("only the forward covered")
            << qint64(10) << true << RS::Delivered << RS::NotSentBalance << u"0.00"_s << qint64(1);
        QTest::newRow("neither covered") << qint64(0) << true << RS::NotSentBalance
                                         << RS::NotSentBalance << u"0.00"_s << qint64(2);
        // The message waits for a signed-off account, but nothing acts for it and nothing
        // is charged to it.
        QTest::newRow("signed off")
            << qint64(100) << false << RS::None << RS::None << u"1.00"_s << qint64(0);
    }

    void arrivingMessageSetsOffForwardingAndReply()
    {
        using RS = LocalGateway::ReplyState;
        QFETCH(qint64, startFen);
        QFETCH(bool, signedOn);
        QFETCH(RS, forwarded);
        QFETCH(RS, replied);
        QFETCH(QString, balanceAfter);
        QFETCH(qint64, notSent);
        const QString forwardTo = u"13900139000"_s;
        const QString sender = u"13700137000"_s;

        QCOMPARE(registerAccount(Account), True16);
        if (startFen > 0)
            QVERIFY(credit(Account, startFen));
        Bool16 outcome = 0;
        QVERIFY(m_gateway->SetForwarding(Account, forwardTo, outcome).isOk());
        QVERIFY(m_gateway->SetAutoReply(Account, u"SDK申请转发内容。"_s, outcome).isOk());
        if (!signedOn)
            QVERIFY(m_gateway->Deregister(Account, outcome).isOk());

        LocalGateway::MoReport report;
        QVERIFY(m_operator->receiveFromHandset(sender, Account, {}, u"你好"_s, report).isOk());
        QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
        QCOMPARE(report.forwarded, forwarded);
        QCOMPARE(report.autoReplied, replied);

        // The message waits for the account whatever happened to the copies.
        if (!signedOn)
            QCOMPARE(registerAccount(Account), True16);
        QCOMPARE(receive(Account).total, u"1"_s);
        const bool forwardSent = forwarded == RS::Delivered;
        QCOMPARE(handset(forwardTo).size(), forwardSent ? 1 : 0);
        if (forwardSent)
            QVERIFY(handset(forwardTo).first().contains(u"你好"_s));
        QCOMPARE(handset(sender),
                 replied == RS::Delivered ? QStringList { u"SDK申请转发内容。"_s } : QStringList());
        QCOMPARE(balance(Account), balanceAfter);
        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt WHERE state = 'not_sent'"_s), notSent);
    }

    void arrivalRefused_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("text");
        QTest::addColumn<LocalGateway::MoOutcome>("outcome");
        using MO = LocalGateway::MoOutcome;
        QTest::newRow("bad sender") << u"abc"_s << Account << QString() << u"hi"_s << MO::BadSender;
        QTest::newRow("bad extension")
            << Phone << Account << u"1x"_s << u"hi"_s << MO::BadExtension;
        QTest::newRow("empty text") << Phone << Account << QString() << QString() << MO::BadText;
        QTest::newRow("unknown account")
            << Phone << Other << QString() << u"hi"_s << MO::UnknownAccount;
        QTest::newRow("unknown service number")
            << Phone << u"10690999"_s << QString() << u"hi"_s << MO::UnknownAccount;
    }

    void arrivalRefused()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, extension);
        QFETCH(QString, text);
        QFETCH(LocalGateway::MoOutcome, outcome);
        QCOMPARE(registerAccount(Account), True16);
        const QStringList before = StoreProbe(storePath()).snapshot();
        LocalGateway::MoReport report;
        QVERIFY(m_operator->receiveFromHandset(from, to, extension, text, report).isOk());
        QCOMPARE(report.outcome, outcome);
        QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    // Bulk arrivals: each one waits, forwarding and the automatic reply act on each and
    // are charged until the balance runs out, across the batches' transactions too.
    void bulkArrivals_data()
    {
        QTest::addColumn<qint64>("creditFen");
        QTest::addColumn<bool>("forwarding");
        QTest::addColumn<bool>("autoReply");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<QList<qint64>>("expected"); // forwarded delivered, not sent;
                                                     // replies delivered, not sent
        QTest::addColumn<QString>("balanceAfter");
        QTest::newRow("one, nothing set") << qint64(0) << false << false << qint64(1)
                                          << QList<qint64> { 0, 0, 0, 0 } << u"0.00"_s;
        QTest::newRow("two batches, nothing set") << qint64(0) << false << false << qint64(5001)
                                                  << QList<qint64> { 0, 0, 0, 0 } << u"0.00"_s;
        QTest::newRow("both set, money for three copies")
            << qint64(30) << true << true << qint64(4) << QList<qint64> { 2, 2, 1, 3 } << u"0.00"_s;
        QTest::newRow("replies until the money runs out, over two batches")
            << qint64(100) << false << true << qint64(5002) << QList<qint64> { 0, 0, 10, 4992 }
            << u"0.00"_s;
        QTest::newRow("forwarding with money to spare")
            << qint64(1000) << true << false << qint64(3) << QList<qint64> { 3, 0, 0, 0 }
            << u"9.70"_s;
    }

    void bulkArrivals()
    {
        QFETCH(qint64, creditFen);
        QFETCH(bool, forwarding);
        QFETCH(bool, autoReply);
        QFETCH(qint64, count);
        QFETCH(QList<qint64>, expected);
        QFETCH(QString, balanceAfter);
        if (TestGateway::remote() && count > 1000)
            QSKIP("through the service every arrival is a call of its own: the batches these "
                  "rows cross are the local component's");

        QCOMPARE(registerAccount(Account), True16);
        if (creditFen > 0)
            QVERIFY(credit(Account, creditFen));
        Bool16 done = 0;
        if (forwarding)
            QVERIFY(m_gateway->SetForwarding(Account, u"13900000000"_s, done).isOk());
        if (autoReply)
            QVERIFY(m_gateway->SetAutoReply(Account, u"稍后回复"_s, done).isOk());

        LocalGateway::MoBulkReport report;
        QVERIFY(
            m_operator->receiveFromHandset(Phone, Account, u"5"_s, u"hi"_s, count, report).isOk());
        QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
        QCOMPARE(report.accountNo, Account);
        QCOMPARE(report.serviceNumber, u"1069000000015"_s);
        QCOMPARE(report.arrived, count);
        QCOMPARE((QList<qint64> { report.forwardedDelivered, report.forwardedNotSent,
                                  report.repliesDelivered, report.repliesNotSent }),
                 expected);
        QCOMPARE(report.forwardingPhone, forwarding ? u"13900000000"_s : QString());
        QCOMPARE(balance(Account), balanceAfter);
        const Batch batch = receive(Account, u"5"_s);
        QCOMPARE(batch.total, QString::number(count));
    }

    void bulkArrivalRefused_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<LocalGateway::MoOutcome>("outcome");
        using MO = LocalGateway::MoOutcome;
        QTest::newRow("no messages") << Account << qint64(0) << true << MO::BadSender;
        QTest::newRow("negative count") << Account << qint64(-1) << true << MO::BadSender;
        QTest::newRow("over a million") << Account << qint64(1'000'001) << true << MO::BadSender;
        QTest::newRow("unknown account") << Other << qint64(3) << false << MO::UnknownAccount;
        QTest::newRow("unknown service number")
            << u"1069099999999"_s << qint64(3) << false << MO::UnknownAccount;
    }

    void bulkArrivalRefused()
    {
        QFETCH(QString, to);
        QFETCH(qint64, count);
        QFETCH(bool, fails);
        QFETCH(LocalGateway::MoOutcome, outcome);
        if (TestGateway::remote() && fails)
            QSKIP("the count is the local component's bulk arrival's; through the service "
                  "every arrival is a call of its own");
        QCOMPARE(registerAccount(Account), True16);
        const QStringList before = StoreProbe(storePath()).snapshot();
        LocalGateway::MoBulkReport report;
        const Status status = m_operator->receiveFromHandset(Phone, to, {}, u"hi"_s, count, report);
        QCOMPARE(status.failed(), fails);
        QCOMPARE(report.outcome, outcome);
        QCOMPARE(report.arrived, 0);
        QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    void arrivalByServiceNumber()
    {
        QCOMPARE(registerAccount(Account), True16);
        QList<LocalGateway::AccountSummary> list;
        QVERIFY(m_operator->accounts(list).isOk());
        LocalGateway::MoReport report;
        QVERIFY(m_operator
                    ->receiveFromHandset(Phone, list.first().serviceNumber, u"9"_s, u"hi"_s, report)
                    .isOk());
        QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
        QCOMPARE(report.serviceNumber, list.first().serviceNumber + u'9');
    }
};

QTEST_GUILESS_MAIN(TestGatewayReceiving)
#include "tst_localgateway_receiving.moc"
