#pragma once

// What the links to SMSCs leave in an SQLite store, written straight with SQL, and what
// the operator tool's `messages`, `links` and `unmatched` print for it: the same rows and
// the same lines on a store of its own and through the service; and `unmatched clear`.
//
//   two accounts; three messages whose ids are not in the order they were submitted:
//     2  2025-12-31T23:00Z  ...00001  to the handsets, delivered
//     1  2026-01-01T00:00Z  ...00001  by smsc-a, submitted in two parts, a tab and an
//                                     escape in its text
//     3  2026-01-02T00:00Z  ...00002  by smsc-a, rejected after two tries
//   with `bulk`, 201 more by smsc-b at one same time, 2026-02-01T00:00Z, of two parts
//   each: a page ends between two of them
//   two links reported by one process, one bound and one failing; a receipt for an id
//   no part has and an arrival for no account
//   account 1's callback, and three of its events: one pending after two failures, one
//   dead, one delivered (`callbacks`, `callbacks replay`)

#include "tests/gateway/local/storeprobe.h"

#include <QStringList>
#include <QTest>

namespace LinkListings {

using namespace Qt::StringLiterals;

inline bool seed(const StoreProbe &probe, bool bulk)
{
    const QString account = u"INSERT INTO accounts (id, number, password_hash, province, city, "
                            u"trade, company, contact_name, telephone, mobile, email, fax, "
                            u"address, postcode, service_number, signed_on, created_at) "
                            u"VALUES (%1, '%2', 'x', '', '', '', '', '', '', '', '', '', '', '', "
                            u"'%3', 1, 0)"_s;
    const QString message = u"INSERT INTO mt (id, account_id, phone, text, segments, cost, origin, "
                            u"submitted_at, due_at, state, reason, delivered_at, link, tries) "
                            u"VALUES "_s;
    QStringList statements {
        account.arg(u"1"_s, u"ABC-123-XYZ-00001"_s, u"10690001"_s),
        account.arg(u"2"_s, u"ABC-123-XYZ-00002"_s, u"10690002"_s),
        message
            + u"(2, 1, '13700137000', 'hello', 1, 10, 'send', 1767222000000, 1767222000000, "
              u"'delivered', NULL, 1767222000000, NULL, 0)"_s,
        message
            + u"(1, 1, '13700137001', 'a' || char(9) || 'b' || char(27), 2, 20, 'send', "
              u"1767225600000, 1767225600000, 'submitted', NULL, NULL, 'smsc-a', 1)"_s,
        message
            + u"(3, 2, '13600136000', 'later', 1, 10, 'auto_reply', 1767312000000, "
              u"1767312000000, 'rejected', 'invalid destination', NULL, 'smsc-a', 2)"_s,
        u"INSERT INTO mt_parts (mt_id, part, smsc_id, state) VALUES (1, 2, 'ID-2', 'submitted'), "
        u"(1, 1, 'ID-1', 'submitted'), (3, 1, 'ID-3', 'rejected')"_s,
        u"INSERT INTO link_status (link, process, state, since, outstanding, sent, received, "
        u"last_error, updated_at, standing_in) VALUES ('smsc-b', 'host-a:41', 'connecting', "
        u"NULL, 0, 0, 0, 'connection refused' || char(10) || 'again', 1767312000000, ''), "
        u"('smsc-a', 'host-a:41', 'bound', 1767225600000, 2, 10, 3, '', 1767312000000, "
        u"'smsc-b')"_s,
        u"INSERT INTO link_unmatched (link, kind, source, destination, smsc_id, state, text, at) "
        u"VALUES ('smsc-a', 'receipt', '13700137001', '10690001', 'ID-9', 'delivered', "
        u"'id:ID-9 stat:DELIVRD', 1767225600000), ('smsc-b', 'arrival', '13900139000', "
        u"'10699999', '', '', 'who' || char(13) || '?', 1767312000000)"_s,
        u"INSERT INTO callbacks VALUES (1, 'https://app.example/h', 1, 1, X'00', 0)"_s,
        // The pending one is tried again in 2100, so no service sends it meanwhile.
        u"INSERT INTO outbox (id, account_id, type, subject_id, state, at, delivery, attempts, "
        u"last_error, next_try_at) VALUES (1, 1, 'message.state', 2, 'delivered', "
        u"1767222000000, 'pending', 2, 'answered HTTP 500' || char(10) || 'x', 4102444800000), "
        u"(2, 1, 'arrival', 7, NULL, 1767225600000, 'dead', 150, 'no answer within 10000 ms', "
        u"NULL), (3, 1, 'message.state', 1, 'delivered', 1767225600000, 'delivered', 1, NULL, "
        u"NULL)"_s,
    };
    if (bulk) {
        statements.append(
            u"WITH RECURSIVE n(i) AS (SELECT 101 UNION ALL SELECT i + 1 FROM n WHERE i < 301) "
            u"INSERT INTO mt (id, account_id, phone, text, segments, cost, origin, submitted_at, "
            u"due_at, state, link, tries) SELECT i, 1, '13500135000', 'bulk', 2, 20, 'send', "
            u"1769904000000, 1769904000000, 'submitted', 'smsc-b', 1 FROM n"_s);
        statements.append(u"INSERT INTO mt_parts (mt_id, part, smsc_id, state) SELECT id, p, "
                          u"'B' || id || '-' || p, 'submitted' FROM mt, (SELECT 1 AS p UNION ALL "
                          u"SELECT 2) WHERE link = 'smsc-b'"_s);
    }
    for (const QString &statement : std::as_const(statements)) {
        if (!probe.exec(statement))
            return false;
    }
    return true;
}

// The table of a data-driven test: the tool's arguments after the store or the service,
// whether the bulk messages are there, and its exit code, every line it prints and a part
// of its standard error.
inline void addRows()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("bulk");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QString>("err");

    const QString header
        = u"编号\t提交时间\t帐户\t手机\t状态\t线路\t短信中心编号\t尝试次数\t原因\t内容"_s;
    const QString handsets
        = u"2\t2025-12-31T23:00:00Z\tABC-123-XYZ-00001\t13700137000\tdelivered\t-\t-\t0\t-\thello"_s;
    const QString twoParts = u"1\t2026-01-01T00:00:00Z\tABC-123-XYZ-00001\t13700137001\tsubmitted"
                             u"\tsmsc-a\tID-1,ID-2\t1\t-\ta\\tb\\x1b"_s;
    const QString rejected = u"3\t2026-01-02T00:00:00Z\tABC-123-XYZ-00002\t13600136000\trejected"
                             u"\tsmsc-a\tID-3\t2\tinvalid destination\tlater"_s;
    const QStringList messages { u"messages"_s };

    QTest::newRow("messages") << messages << false << 0
                              << QStringList { u"共 3 条短信："_s, header, handsets, twoParts,
                                               rejected }
                              << QString();
    QTest::newRow("messages of one account")
        << messages + QStringList { u"--account"_s, u"ABC-123-XYZ-00002"_s } << false << 0
        << QStringList { u"共 1 条短信："_s, header, rejected } << QString();
    QTest::newRow("messages in one state")
        << messages + QStringList { u"--state"_s, u"submitted"_s } << false << 0
        << QStringList { u"共 1 条短信："_s, header, twoParts } << QString();
    QTest::newRow("messages since a time")
        << messages + QStringList { u"--since"_s, u"2026-01-01T08:00:00+08:00"_s } << false << 0
        << QStringList { u"共 2 条短信："_s, header, twoParts, rejected } << QString();
    QTest::newRow("no message in that state")
        << messages + QStringList { u"--state"_s, u"expired"_s } << false << 0
        << QStringList { u"没有符合条件的短信。"_s } << QString();
    QStringList bulk { u"共 201 条短信："_s, header };
    for (int id = 101; id <= 301; ++id)
        bulk.append(u"%1\t2026-02-01T00:00:00Z\tABC-123-XYZ-00001\t13500135000\tsubmitted\t"
                    u"smsc-b\tB%1-1,B%1-2\t1\t-\tbulk"_s.arg(id));
    QTest::newRow("messages over two pages")
        << messages + QStringList { u"--since"_s, u"2026-02-01T00:00:00Z"_s } << true << 0 << bulk
        << QString();
    QTest::newRow("a state there is not")
        << messages + QStringList { u"--state"_s, u"sent"_s } << false << 2 << QStringList()
        << u"状态“sent”无效：应为 scheduled、queued、submitted、delivered、undeliverable、"
           u"expired、rejected、not_sent 之一"_s;
    QTest::newRow("a time there is not")
        << messages + QStringList { u"--since"_s, u"2026-02-30T00:00:00Z"_s } << false << 2
        << QStringList() << u"时间“2026-02-30T00:00:00Z”无效"_s;
    QTest::newRow("a time before 1970")
        << messages + QStringList { u"--since"_s, u"1969-12-31T23:59:59Z"_s } << false << 2
        << QStringList() << u"时间“1969-12-31T23:59:59Z”无效"_s;
    QTest::newRow("a time after 9999")
        << messages + QStringList { u"--since"_s, u"9999-12-31T23:00:00-02:00"_s } << false << 2
        << QStringList() << u"时间“9999-12-31T23:00:00-02:00”无效"_s;
    QTest::newRow("an account that is not one")
        << messages + QStringList { u"--account"_s, u"abc-123-xyz-00002"_s } << false << 2
        << QStringList() << u"帐户“abc-123-xyz-00002”无效"_s;

    QTest::newRow("links")
        << QStringList { u"links"_s } << false << 0
        << QStringList {
               u"线路\t状态\t顶替线路\t绑定时间\t待确认\t已发送\t已接收\t进程\t更新时间\t"
               u"最近错误"_s,
               u"smsc-a\tbound\tsmsc-b\t2026-01-01T00:00:00Z\t2\t10\t3\thost-a:41\t"
               u"2026-01-02T00:00:00Z\t-"_s,
               u"smsc-b\tconnecting\t-\t-\t0\t0\t0\thost-a:41\t2026-01-02T00:00:00Z\t"
               u"connection refused\\nagain"_s,
           }
        << QString();
    QTest::newRow("unmatched")
        << QStringList { u"unmatched"_s } << false << 0
        << QStringList {
               u"编号\t时间\t线路\t类别\t来源\t目的\t短信中心编号\t状态\t内容"_s,
               u"1\t2026-01-01T00:00:00Z\tsmsc-a\treceipt\t13700137001\t10690001\tID-9\t"
               u"delivered\tid:ID-9 stat:DELIVRD"_s,
               u"2\t2026-01-02T00:00:00Z\tsmsc-b\tarrival\t13900139000\t10699999\t-\t-\twho\\r?"_s,
           }
        << QString();
    const QStringList clear { u"unmatched"_s, u"clear"_s, u"--through"_s };
    QTest::newRow("unmatched cleared through the first")
        << clear + QStringList { u"1"_s } << false << 0
        << QStringList { u"已删除 1 条对应不上的记录。"_s } << QString();
    QTest::newRow("unmatched cleared through an id past the last")
        << clear + QStringList { u"99"_s } << false << 0
        << QStringList { u"已删除 2 条对应不上的记录。"_s } << QString();
    QTest::newRow("unmatched cleared through no id")
        << clear + QStringList { u"0"_s } << false << 2 << QStringList() << u"编号“0”无效"_s;
    QTest::newRow("unmatched clear without an id")
        << QStringList { u"unmatched"_s, u"clear"_s } << false << 2 << QStringList()
        << u"缺少选项 --through"_s;
    QTest::newRow("unmatched listed through an id")
        << QStringList { u"unmatched"_s, u"--through"_s, u"1"_s } << false << 2 << QStringList()
        << u"命令 unmatched 不接受选项 --through"_s;

    const QString eventsHeader = u"编号\t时间\t帐户\t类别\t短信编号\t状态\t投递\t尝试次数\t"
                                 u"最近的错误\t回调地址"_s;
    const QString pending
        = u"1\t2025-12-31T23:00:00Z\tABC-123-XYZ-00001\tmessage.state\t2\t"
          u"delivered\tpending\t2\tanswered HTTP 500\\nx\thttps://app.example/h"_s;
    const QString dead = u"2\t2026-01-01T00:00:00Z\tABC-123-XYZ-00001\tarrival\t7\t-\tdead\t150\t"
                         u"no answer within 10000 ms\thttps://app.example/h"_s;
    const QStringList callbacks { u"callbacks"_s };
    QTest::newRow("callbacks not yet delivered")
        << callbacks << false << 0 << QStringList { eventsHeader, pending, dead } << QString();
    QTest::newRow("callbacks dead") << callbacks + QStringList { u"--dead"_s } << false << 0
                                    << QStringList { eventsHeader, dead } << QString();
    QTest::newRow("callbacks replayed, every dead one")
        << callbacks + QStringList { u"replay"_s, u"--all"_s } << false << 0
        << QStringList { u"已安排重新发送 1 个回调事件。"_s } << QString();
    QTest::newRow("callbacks replayed, a delivered one by its id")
        << callbacks + QStringList { u"replay"_s, u"3"_s } << false << 0
        << QStringList { u"已安排重新发送 1 个回调事件。"_s } << QString();
    QTest::newRow("callbacks replayed, an id there is not")
        << callbacks + QStringList { u"replay"_s, u"99"_s } << false << 0
        << QStringList { u"已安排重新发送 0 个回调事件。"_s } << QString();
    QTest::newRow("callbacks replay without an id")
        << callbacks + QStringList { u"replay"_s } << false << 2 << QStringList()
        << u"需要一个事件编号"_s;
    QTest::newRow("callbacks replay with an id and --all")
        << callbacks + QStringList { u"replay"_s, u"2"_s, u"--all"_s } << false << 2
        << QStringList() << u"需要一个事件编号"_s;
    QTest::newRow("callbacks replay of id 0") << callbacks + QStringList { u"replay"_s, u"0"_s }
                                              << false << 2 << QStringList() << u"编号“0”无效"_s;
    QTest::newRow("callbacks listed with --all")
        << callbacks + QStringList { u"--all"_s } << false << 2 << QStringList()
        << u"命令 callbacks 不接受选项 --all"_s;
}

} // namespace LinkListings
