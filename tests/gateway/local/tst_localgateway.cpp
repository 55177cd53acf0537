// The gateway's operations, each with its success and failure rows: outcomes, what is
// stored, what is charged, and that a failure changes nothing. The same cases run on the
// local gateway in process and, through the remote component, on a service serving the
// same store (see testgateway.h); the few that need the test's own clock run locally only.

#include "localgateway.h"
#include "operatorbackend.h"
#include "segmentcounter.h"
#include "storeprobe.h"
#include "testgateway.h"
#include "teststore.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-123-XYZ-00001"_s;
const QString Other = u"ABC-123-XYZ-00002"_s;
const QString Password = u"secret"_s;
const QString Phone = u"13800138000"_s;

RegisterParticulars particulars(const QString &accountNo, const QString &password,
                                const QString &mobile = Phone)
{
    RegisterParticulars p;
    p.accountNo = accountNo;
    p.password = password;
    p.province = u"北京"_s;
    p.city = u"北京"_s;
    p.trade = u"计算机软件"_s;
    p.company = u"示例公司"_s;
    p.contactName = u"示例人"_s;
    p.telephone = u"010-12345678"_s;
    p.mobile = mobile;
    p.email = u"demo@example.com"_s;
    p.fax = u"010-87654321"_s;
    p.address = u"北京市中关村"_s;
    p.postcode = u"100086"_s;
    return p;
}

// What an operation hands back: the outcome slot, the text slot, the receive slots.
// Each starts with a value no operation writes.
struct Answer {
    LocalGateway::IssuedCard card; // the card a recharge offers
    Bool16 outcome = 1;
    QString text = u"untouched"_s;
    Variant total, current, messages;
};

using Operation = std::function<Status(GatewayClient &, const QString &accountNo, Answer &)>;

// Every operation but Register, each with ordinary arguments.
QList<std::pair<const char *, Operation>> operations()
{
    const QString phone = Phone;
    return {
        { "QueryBalance",
          [](GatewayClient &g, const QString &a, Answer &r) { return g.QueryBalance(a, r.text); } },
        { "Recharge",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.Recharge(a, r.card.number, r.card.password, r.outcome);
          } },
        { "SendMessage",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SendMessage(a, phone, u"hi"_s, r.outcome);
          } },
        { "SendScheduledMessage",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SendScheduledMessage(a, phone, u"hi"_s, u"2024/5/20 9:40:00"_s, r.outcome);
          } },
        { "ReceiveMessages",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ReceiveMessages(a, r.total, r.current, r.messages, r.outcome);
          } },
        { "ReceiveMessagesNet",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ReceiveMessagesNet(a, r.total, r.current, r.messages, {}, r.outcome);
          } },
        { "SetForwarding",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SetForwarding(a, phone, r.outcome);
          } },
        { "CancelForwarding",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.CancelForwarding(a, r.outcome);
          } },
        { "GetForwarding",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.GetForwarding(a, r.text);
          } },
        { "SetAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.SetAutoReply(a, u"x"_s, r.outcome);
          } },
        { "CancelAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.CancelAutoReply(a, r.outcome);
          } },
        { "GetAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) { return g.GetAutoReply(a, r.text); } },
        { "Deregister",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.Deregister(a, r.outcome);
          } },
        { "ChangePassword",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ChangePassword(a, u"new"_s, r.outcome);
          } },
    };
}

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(LocalGateway::MoOutcome)
Q_DECLARE_METATYPE(LocalGateway::ReplyState)

class TestLocalGateway : public QObject {
    Q_OBJECT

private:
    QDateTime m_now;
    std::unique_ptr<TestGateway> m_rig;
    QString m_storeUrl;
    std::unique_ptr<GatewayClient> m_gateway;
    OperatorBackend *m_operator = nullptr;

    // The store's URL (an SQLite file, or a PostgreSQL database in the PostgreSQL run), of
    // the service's store when the run goes through it.
    QString storePath() const { return m_storeUrl; }

    std::unique_ptr<GatewayClient> openGateway() { return m_rig->open(); }

    // The service refuses a text with an unpaired surrogate as a bad request, before the
    // gateway's rules see it: through it the call fails, where the local gateway answers
    // 0. Nothing changes either way.
    static bool badRequestThroughService(const QString &text)
    {
        return TestGateway::remote() && !QStringView(text).isValidUtf16();
    }

    // A few cards per call: the service hashes every card's password in its call, and a
    // busy machine must not push a call past the remote component's time limit.
    QList<LocalGateway::IssuedCard> issueCards(qint64 valueFen, int count)
    {
        QList<LocalGateway::IssuedCard> cards;
        for (int left = count; left > 0; left -= 5) {
            const auto publish = [&](const QList<LocalGateway::IssuedCard> &issued) {
                cards += issued;
                return true;
            };
            if (m_operator->issueCards(valueFen, qMin(left, 5), publish).failed())
                return {};
        }
        return cards;
    }

    Bool16 registerAccount(const QString &accountNo, const QString &password = Password)
    {
        Bool16 outcome = 1;
        if (m_gateway->Register(particulars(accountNo, password), outcome).failed())
            return 1;
        return outcome;
    }

    LocalGateway::IssuedCard issueCard(qint64 valueFen)
    {
        const QList<LocalGateway::IssuedCard> cards = issueCards(valueFen, 1);
        return cards.size() == 1 ? cards.first() : LocalGateway::IssuedCard();
    }

    bool credit(const QString &accountNo, qint64 fen)
    {
        const LocalGateway::IssuedCard card = issueCard(fen);
        Bool16 outcome = 0;
        return m_gateway->Recharge(accountNo, card.number, card.password, outcome).isOk()
            && outcome == True16;
    }

    QString balance(const QString &accountNo)
    {
        QString text = u"untouched"_s;
        if (m_gateway->QueryBalance(accountNo, text).failed())
            return u"failed"_s;
        return text;
    }

    QStringList handset(const QString &phone)
    {
        QList<LocalGateway::HandsetMessage> messages;
        if (m_operator->handsetMessages(phone, messages).failed())
            return { u"failed"_s };
        QStringList texts;
        for (const auto &m : std::as_const(messages))
            texts.append(m.text);
        return texts;
    }

    void arrive(const QString &from, const QString &text, const QString &extension = {})
    {
        LocalGateway::MoReport report;
        QVERIFY(m_operator->receiveFromHandset(from, Account, extension, text, report).isOk());
        QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
    }

    struct Batch {
        Bool16 outcome = 1;
        QString total;
        QString current;
        TextTable table;
    };

    Batch receive(const QString &accountNo, const std::optional<QString> &extension = {})
    {
        Batch batch;
        Variant total(u"before"_s), current(u"before"_s), messages(u"before"_s);
        const Status status = extension
            ? m_gateway->ReceiveMessagesNet(accountNo, total, current, messages, *extension,
                                            batch.outcome)
            : m_gateway->ReceiveMessages(accountNo, total, current, messages, batch.outcome);
        if (status.failed()) {
            batch.outcome = 1;
            return batch;
        }
        (void)total.toText(batch.total);
        (void)current.toText(batch.current);
        (void)messages.toTable(batch.table);
        return batch;
    }

private Q_SLOTS:
    void cleanupTestCase() { TestGateway::stopService(); }

    void init()
    {
        m_rig.reset(); // what a failed cleanup left goes first
        // The service reads the machine's clock: through it, "now" is now.
        m_now = TestGateway::clockControlled() ? QDateTime(QDate(2024, 5, 20), QTime(9, 30, 0))
                                               : QDateTime::currentDateTime();
        m_rig = std::make_unique<TestGateway>([this] { return m_now; });
        QVERIFY(m_rig->isValid());
        m_storeUrl = m_rig->storeUrl();
        m_gateway = openGateway();
        QVERIFY(m_gateway);
        m_operator = m_rig->operatorSide();
        QVERIFY(m_operator);
    }

    // Whatever a test did, the store is sound and every balance is its ledger's sum.
    void cleanup()
    {
        m_gateway.reset();
        {
            StoreProbe probe(storePath());
            QCOMPARE(probe.quickCheck(), u"ok"_s);
            QCOMPARE(probe.ledgerMismatches(), QStringList());
            QCOMPARE(probe.unmatchedCharges(), QStringList());
            QCOMPARE(probe.waitingMismatches(), QStringList());
        }
        m_operator = nullptr;
        m_rig.reset();
    }

    void registration_data()
    {
        QTest::addColumn<QString>("accountNo");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("knownPassword"); // empty: the account is new
        QTest::addColumn<bool>("accepted");

        const QString longest(64, u'p');
        QTest::newRow("new account") << Account << Password << QString() << true;
        QTest::newRow("new account, 64-character password")
            << Account << longest << QString() << true;
        QTest::newRow("new account, 65-character password")
            << Account << QString(65, u'p') << QString() << false;
        QTest::newRow("new account, empty password") << Account << QString() << QString() << false;
        QTest::newRow("new account, unpaired surrogate in password")
            << Account << QString(QChar(0xD800)) << QString() << false;
        QTest::newRow("known account, right password") << Account << Password << Password << true;
        QTest::newRow("known account, wrong password")
            << Account << u"wrong"_s << Password << false;
        QTest::newRow("known account, empty password") << Account << QString() << Password << false;
        QTest::newRow("lower-case letters")
            << u"abc-123-xyz-00001"_s << Password << QString() << false;
        QTest::newRow("short last group")
            << u"ABC-123-XYZ-0001"_s << Password << QString() << false;
        QTest::newRow("no dashes") << u"ABC123XYZ00001XX"_s << Password << QString() << false;
        QTest::newRow("trailing blank") << Account + u' ' << Password << QString() << false;
        QTest::newRow("full-width digit")
            << u"ABC-123-XYZ-0000１"_s << Password << QString() << false;
        QTest::newRow("empty account number") << QString() << Password << QString() << false;
    }

    void registration()
    {
        QFETCH(QString, accountNo);
        QFETCH(QString, password);
        QFETCH(QString, knownPassword);
        QFETCH(bool, accepted);

        // GIVEN a known account, signed off, or no account at all
        if (!knownPassword.isEmpty()) {
            QCOMPARE(registerAccount(accountNo, knownPassword), True16);
            Bool16 off = 0;
            QVERIFY(m_gateway->Deregister(accountNo, off).isOk());
            QCOMPARE(off, True16);
        }
        const QStringList before = StoreProbe(storePath()).snapshot();

        // WHEN it registers
        RegisterParticulars p = particulars(accountNo, password, u"13900139000"_s);
        Bool16 outcome = 1;
        const Status status = m_gateway->Register(p, outcome);

        // THEN it is signed on with its particulars, or nothing changed
        if (badRequestThroughService(password)) {
            QVERIFY(status.failed());
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(status.isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        if (accepted) {
            QCOMPARE(balance(accountNo), u"0.00"_s);
            QList<LocalGateway::AccountSummary> list;
            QVERIFY(m_operator->accounts(list).isOk());
            QCOMPARE(list.size(), 1);
            QCOMPARE(list.first().mobile, u"13900139000"_s);
            QVERIFY(list.first().signedOn);
            QVERIFY(list.first().serviceNumber.startsWith(u"10690"_s));
        } else {
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
        }
    }

    // The console may hand over null texts for particulars it leaves empty.
    void registrationWithNullParticulars()
    {
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = Password;
        Bool16 outcome = 1;
        QVERIFY(m_gateway->Register(p, outcome).isOk());
        QCOMPARE(outcome, True16);
    }

    void serviceNumbersAreUnique()
    {
        QCOMPARE(registerAccount(Account), True16);
        QCOMPARE(registerAccount(Other), True16);
        QList<LocalGateway::AccountSummary> list;
        QVERIFY(m_operator->accounts(list).isOk());
        QCOMPARE(list.size(), 2);
        QVERIFY(list.at(0).serviceNumber != list.at(1).serviceNumber);
    }

    // Every operation but Register needs a signed-on account.
    void signOnRequired_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QString>("accountNo");
        for (const auto &[name, call] : operations()) {
            QTest::addRow("%s, signed off", name) << call << Account;
            QTest::addRow("%s, unknown account", name) << call << Other;
            QTest::addRow("%s, malformed account", name) << call << u"'; --"_s;
        }
    }

    void signOnRequired()
    {
        QFETCH(Operation, operation);
        QFETCH(QString, accountNo);

        // GIVEN an account with money, settings and a waiting message, then signed off
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 1000));
        Bool16 done = 0;
        QVERIFY(m_gateway->SetForwarding(Account, u"13900000000"_s, done).isOk());
        QVERIFY(m_gateway->SetAutoReply(Account, u"稍后回复"_s, done).isOk());
        Answer answer;
        answer.card = issueCard(500);
        QVERIFY(m_gateway->Deregister(Account, done).isOk());
        QCOMPARE(done, True16);
        const QStringList before = StoreProbe(storePath()).snapshot();

        // WHEN the operation is asked for
        const Status status = operation(*m_gateway, accountNo, answer);

        // THEN it fails (0, or the empty text) and nothing changes
        QVERIFY(status.isOk());
        const bool refusedByOutcome = answer.outcome == False16 && answer.text == u"untouched"_s;
        const bool refusedByText = answer.outcome == 1 && answer.text.isEmpty();
        QVERIFY(refusedByOutcome != refusedByText);
        QVERIFY(answer.total.isNull() && answer.current.isNull() && answer.messages.isNull());
        QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    // A control character in any particular could forge a row of a listing or drive a
    // terminal: the registration is refused and nothing is stored.
    void particularsWithControlCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain text") << u"示例公司 Ltd. #1"_s << true;
        QTest::newRow("tab") << u"a\tb"_s << false;
        QTest::newRow("line feed") << u"a\n9.99"_s << false;
        QTest::newRow("carriage return") << u"a\r"_s << false;
        QTest::newRow("escape sequence") << u"\x1b[2J"_s << false;
        QTest::newRow("NUL") << QString(QChar(0)) << false;
        QTest::newRow("DEL") << QString(QChar(0x7F)) << false;
        QTest::newRow("C1 next line") << QString(QChar(0x85)) << false;
        QTest::newRow("line separator") << QString(QChar(0x2028)) << false;
        QTest::newRow("paragraph separator") << QString(QChar(0x2029)) << false;
        QTest::newRow("right-to-left override") << u"abc\u202Edef"_s << false;
        QTest::newRow("right-to-left isolate") << QString(QChar(0x2067)) << false;
        QTest::newRow("left-to-right mark") << QString(QChar(0x200E)) << false;
        QTest::newRow("Arabic letter mark") << QString(QChar(0x061C)) << false;
        QTest::newRow("no-break space is text") << QString(QChar(0xA0)) << true;
        QTest::newRow("zero-width joiner is text") << QString(QChar(0x200D)) << true;
    }

    void particularsWithControlCharacters()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        for (QString RegisterParticulars::*field :
             { &RegisterParticulars::company, &RegisterParticulars::mobile,
               &RegisterParticulars::postcode }) {
            RegisterParticulars p = particulars(Other, Password);
            p.*field = text;
            Bool16 outcome = 1;
            QVERIFY(m_gateway->Register(p, outcome).isOk());
            QCOMPARE(outcome, accepted ? True16 : False16);
        }
        QCOMPARE(StoreProbe(storePath()).count(u"SELECT count(*) FROM accounts"_s),
                 accepted ? 1 : 0);
    }

    // Only failed card checks count toward the lock-out.
    void rechargeAttemptsCounted_data()
    {
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QList<Bool16>>("outcomes");
        QTest::addColumn<qint64>("counted");
        QTest::addColumn<QString>("balanceAfter");
        const Bool16 T = True16, F = False16;
        QTest::newRow("six good cards")
            << QStringList(6, u"good"_s) << QList<Bool16>(6, T) << qint64(0) << u"6.00"_s;
        QTest::newRow("wrong, then good") << QStringList { u"wrong"_s, u"good"_s }
                                          << QList<Bool16> { F, T } << qint64(1) << u"1.00"_s;
        QTest::newRow("no card number") << QStringList { u"empty"_s, u"good"_s }
                                        << QList<Bool16> { F, T } << qint64(1) << u"1.00"_s;
        QTest::newRow("spent card") << QStringList { u"good"_s, u"again"_s }
                                    << QList<Bool16> { T, F } << qint64(1) << u"1.00"_s;
        QTest::newRow("five wrong lock the sixth out")
            << (QStringList(5, u"wrong"_s) << u"good"_s) << QList<Bool16> { F, F, F, F, F, F }
            << qint64(5) << u"0.00"_s;
    }

    void rechargeAttemptsCounted()
    {
        QFETCH(QStringList, attempts);
        QFETCH(QList<Bool16>, outcomes);
        QFETCH(qint64, counted);
        QFETCH(QString, balanceAfter);
        QCOMPARE(registerAccount(Account), True16);
        LocalGateway::IssuedCard last;
        QList<Bool16> seen;
        for (const QString &kind : std::as_const(attempts)) {
            const LocalGateway::IssuedCard card = kind == u"again"_s ? last : issueCard(100);
            const QString number = kind == u"empty"_s ? QString() : card.number;
            const QString password = kind == u"wrong"_s ? u"000000000000"_s : card.password;
            Bool16 outcome = 1;
            QVERIFY(m_gateway->Recharge(Account, number, password, outcome).isOk());
            seen.append(outcome);
            last = card;
        }
        QCOMPARE(seen, outcomes);
        QCOMPARE(StoreProbe(storePath()).count(u"SELECT count(*) FROM recharge_failures"_s),
                 counted);
        QCOMPARE(balance(Account), balanceAfter);
    }

    void changePassword_data()
    {
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("ordinary") << u"n3w-pass"_s << true;
        QTest::newRow("64 characters") << QString(64, u'x') << true;
        QTest::newRow("Chinese") << u"新密码"_s << true;
        QTest::newRow("65 characters") << QString(65, u'x') << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("unpaired surrogate") << QString(QChar(0xDC00)) << false;
    }

    void changePassword()
    {
        QFETCH(QString, newPassword);
        QFETCH(bool, accepted);
        QCOMPARE(registerAccount(Account), True16);
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        const Status status = m_gateway->ChangePassword(Account, newPassword, outcome);
        if (badRequestThroughService(newPassword)) {
            QVERIFY(status.failed());
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(status.isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        if (!accepted)
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);

        // Signing on afterwards takes the password now in force, and only that one.
        Bool16 off = 0;
        QVERIFY(m_gateway->Deregister(Account, off).isOk());
        QCOMPARE(registerAccount(Account, accepted ? Password : newPassword), False16);
        QCOMPARE(registerAccount(Account, accepted ? newPassword : Password), True16);
    }

    void balanceText_data()
    {
        QTest::addColumn<qint64>("fen");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << u"0.00"_s;
        QTest::newRow("five fen") << qint64(5) << u"0.05"_s;
        QTest::newRow("ten fen") << qint64(10) << u"0.10"_s;
        QTest::newRow("twelve yuan thirty") << qint64(1230) << u"12.30"_s;
        QTest::newRow("ten thousand yuan") << qint64(1000000) << u"10000.00"_s;
    }

    void balanceText()
    {
        QFETCH(qint64, fen);
        QFETCH(QString, text);
        QCOMPARE(registerAccount(Account), True16);
        if (fen > 0)
            QVERIFY(credit(Account, fen));
        QCOMPARE(balance(Account), text);
    }

    void yuanParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("fen");
        QTest::newRow("whole") << u"50"_s << true << qint64(5000);
        QTest::newRow("one decimal") << u"12.3"_s << true << qint64(1230);
        QTest::newRow("two decimals") << u"0.05"_s << true << qint64(5);
        QTest::newRow("three decimals") << u"1.005"_s << false << qint64(0);
        QTest::newRow("negative") << u"-5"_s << false << qint64(0);
        QTest::newRow("exponent") << u"1e3"_s << false << qint64(0);
        QTest::newRow("empty") << QString() << false << qint64(0);
        QTest::newRow("ten digits") << u"1234567890"_s << false << qint64(0);
    }

    void yuanParsing()
    {
        if (TestGateway::remote())
            QSKIP("a function of the local component: no gateway call to carry");
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, fen);
        qint64 parsed = -1;
        QCOMPARE(LocalGateway::parseYuan(text, parsed), valid);
        if (valid)
            QCOMPARE(parsed, fen);
    }

    void recharge_data()
    {
        QTest::addColumn<QString>("cardNo"); // "card" for the issued one
        QTest::addColumn<QString>("password"); // "password" for the right one
        QTest::addColumn<bool>("spentBefore");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right card and password") << u"card"_s << u"password"_s << false << true;
        QTest::newRow("wrong password") << u"card"_s << u"000000000000"_s << false << false;
        QTest::newRow("empty password") << u"card"_s << QString() << false << false;
        QTest::newRow("unknown card") << u"1234567890123456"_s << u"password"_s << false << false;
        QTest::newRow("empty card number") << QString() << u"password"_s << false << false;
        QTest::newRow("oversize card number")
            << QString(65, u'1') << u"password"_s << false << false;
        QTest::newRow("card already spent") << u"card"_s << u"password"_s << true << false;
    }

    void recharge()
    {
        QFETCH(QString, cardNo);
        QFETCH(QString, password);
        QFETCH(bool, spentBefore);
        QFETCH(bool, accepted);

        QCOMPARE(registerAccount(Account), True16);
        QCOMPARE(registerAccount(Other), True16);
        const LocalGateway::IssuedCard card = issueCard(5000);
        QCOMPARE(card.number.size(), 16);
        QCOMPARE(card.password.size(), 12);
        if (spentBefore) {
            Bool16 first = 0;
            QVERIFY(m_gateway->Recharge(Other, card.number, card.password, first).isOk());
            QCOMPARE(first, True16);
        }
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        QVERIFY(m_gateway
                    ->Recharge(Account, cardNo == u"card"_s ? card.number : cardNo,
                               password == u"password"_s ? card.password : password, outcome)
                    .isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        QCOMPARE(balance(Account), accepted ? u"50.00"_s : u"0.00"_s);
        if (!accepted)
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    void rechargeLockOut()
    {
        if (TestGateway::remote())
            QSKIP("the lock-out window needs the test's clock; the service reads the machine's");
        QCOMPARE(registerAccount(Account), True16);
        const LocalGateway::IssuedCard card = issueCard(1000);
        const QDateTime start = m_now;
        Bool16 outcome = 1;

        // GIVEN five failed attempts within a few minutes
        for (int i = 0; i < 5; ++i) {
            m_now = start.addSecs(qint64(i) * 60);
            QVERIFY(m_gateway->Recharge(Account, card.number, u"wrong"_s, outcome).isOk());
            QCOMPARE(outcome, False16);
        }
        // THEN even the right password is refused until 15 minutes after the first,
        // and attempts while locked do not extend the lock
        for (qint64 offset : { 5 * 60, 10 * 60, 15 * 60 - 1 }) {
            m_now = start.addSecs(offset);
            QVERIFY(m_gateway->Recharge(Account, card.number, card.password, outcome).isOk());
            QCOMPARE(outcome, False16);
        }
        QCOMPARE(balance(Account), u"0.00"_s);
        m_now = start.addSecs(15 * 60 + 1);
        QVERIFY(m_gateway->Recharge(Account, card.number, card.password, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(balance(Account), u"10.00"_s);

        // The lock is the account's own: another account recharges meanwhile.
        QCOMPARE(registerAccount(Other), True16);
        const LocalGateway::IssuedCard second = issueCard(200);
        QVERIFY(m_gateway->Recharge(Other, second.number, second.password, outcome).isOk());
        QCOMPARE(outcome, True16);
    }

    void segments_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("segments");
        const QString han(u'中');
        const QString emoji = u"😀"_s;
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("GSM 160") << QString(160, u'a') << 1;
        QTest::newRow("GSM 161") << QString(161, u'a') << 2;
        QTest::newRow("GSM 306") << QString(306, u'a') << 2;
        QTest::newRow("GSM 307") << QString(307, u'a') << 3;
        QTest::newRow("GSM accented letters are 7-bit") << QString(160, u'é') << 1;
        QTest::newRow("GSM 80 euro signs count twice") << QString(80, u'€') << 1;
        QTest::newRow("GSM 81 euro signs count twice") << QString(81, u'€') << 2;
        QTest::newRow("GSM escape not split at 153")
            << QString(152, u'a') + u'{' + QString(152, u'a') << 3;
        QTest::newRow("UCS-2 70") << han.repeated(70) << 1;
        QTest::newRow("UCS-2 71") << han.repeated(71) << 2;
        QTest::newRow("UCS-2 134") << han.repeated(134) << 2;
        QTest::newRow("UCS-2 135") << han.repeated(135) << 3;
        QTest::newRow("one non-GSM letter makes it UCS-2") << QString(69, u'a') + han << 1;
        QTest::newRow("UCS-2 71 with one non-GSM letter") << QString(70, u'a') + han << 2;
        QTest::newRow("surrogate pair fits one segment at 70") << han.repeated(68) + emoji << 1;
        QTest::newRow("surrogate pair not split at 67")
            << han.repeated(66) + emoji + han.repeated(66) << 3;
        QTest::newRow("surrogate pair just fits at 67")
            << han.repeated(65) + emoji + han.repeated(67) << 2;
    }

    void segments()
    {
        if (TestGateway::remote())
            QSKIP("a function of the local component: no gateway call to carry");
        QFETCH(QString, text);
        QFETCH(int, segments);
        QCOMPARE(SegmentCounter::segments(text), segments);
    }

    void send_data()
    {
        QTest::addColumn<QString>("phones");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("startFen");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qint64>("chargedFen");
        QTest::addColumn<QStringList>("receivers");

        const QStringList one { Phone };
        const QString han(u'中');
        QTest::newRow("one phone")
            << Phone << u"VB测试短信发送!"_s << qint64(100) << true << qint64(10) << one;
        QTest::newRow("two segments")
            << Phone << han.repeated(71) << qint64(100) << true << qint64(20) << one;
        QTest::newRow("three phones")
            << u"13800138000,13900139000, +8613700137000"_s << u"hi"_s << qint64(100) << true
            << qint64(30) << QStringList { Phone, u"13900139000"_s, u"+8613700137000"_s };
        QTest::newRow("full-width comma")
            << u"13800138000，13900139000"_s << u"hi"_s << qint64(100) << true << qint64(20)
            << QStringList { Phone, u"13900139000"_s };
        QTest::newRow("repeated phone sent once")
            << u"13800138000,13800138000"_s << u"hi"_s << qint64(100) << true << qint64(10) << one;
        QTest::newRow("balance exactly covers")
            << u"13800138000,13900139000"_s << u"hi"_s << qint64(20) << true << qint64(20)
            << QStringList { Phone, u"13900139000"_s };
        QTest::newRow("balance one fen short") << u"13800138000,13900139000"_s << u"hi"_s
                                               << qint64(19) << false << qint64(0) << QStringList();
        QTest::newRow("no balance")
            << Phone << u"hi"_s << qint64(0) << false << qint64(0) << QStringList();
        QTest::newRow("empty text")
            << Phone << QString() << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("blank text is a text")
            << Phone << u" "_s << qint64(100) << true << qint64(10) << one;
        QTest::newRow("text over 255 segments")
            << Phone << han.repeated(67 * 255 + 1) << qint64(100000) << false << qint64(0)
            << QStringList();
        QTest::newRow("unpaired surrogate") << Phone << QString(QChar(0xD83D)) << qint64(100)
                                            << false << qint64(0) << QStringList();
        QTest::newRow("empty phone")
            << QString() << u"hi"_s << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("two digits")
            << u"12"_s << u"hi"_s << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("21 digits")
            << QString(21, u'1') << u"hi"_s << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("dashed landline")
            << u"010-12345678"_s << u"hi"_s << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("trailing comma")
            << u"13800138000,"_s << u"hi"_s << qint64(100) << false << qint64(0) << QStringList();
        QTest::newRow("one bad among good") << u"13800138000,abc"_s << u"hi"_s << qint64(100)
                                            << false << qint64(0) << QStringList();
        QTest::newRow("101 recipients") << QStringList(101, Phone).join(u',') << u"hi"_s
                                        << qint64(100000) << false << qint64(0) << QStringList();
    }

    void send()
    {
        QFETCH(QString, phones);
        QFETCH(QString, text);
        QFETCH(qint64, startFen);
        QFETCH(bool, accepted);
        QFETCH(qint64, chargedFen);
        QFETCH(QStringList, receivers);

        QCOMPARE(registerAccount(Account), True16);
        if (startFen > 0)
            QVERIFY(credit(Account, startFen));
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        const Status status = m_gateway->SendMessage(Account, phones, text, outcome);
        if (badRequestThroughService(text)) {
            QVERIFY(status.failed());
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(status.isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        QCOMPARE(balance(Account), LocalGateway::formatYuan(startFen - chargedFen));
        for (const QString &phone : std::as_const(receivers))
            QCOMPARE(handset(phone), QStringList { text });
        if (!accepted)
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    void scheduled_data()
    {
        QTest::addColumn<QString>("sendTime");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("dueInSeconds"); // from 2024-05-20 09:30:00 local time

        QTest::newRow("console format, ten minutes ahead") << u"2024/5/20 9:40:00"_s << true << 600;
        QTest::newRow("console format, padded") << u"2024/05/20 09:40:00"_s << true << 600;
        QTest::newRow("ISO 8601 local") << u"2024-05-20T09:40:00"_s << true << 600;
        QTest::newRow("59 seconds in the past") << u"2024/5/20 9:29:01"_s << true << -59;
        QTest::newRow("61 seconds in the past") << u"2024/5/20 9:28:59"_s << false << 0;
        QTest::newRow("exactly one year ahead") << u"2025/5/20 9:30:00"_s << true << 365 * 86400;
        QTest::newRow("a year and a second ahead") << u"2025/5/20 9:30:01"_s << false << 0;
        QTest::newRow("30 February") << u"2024/2/30 9:40:00"_s << false << 0;
        QTest::newRow("hour 24") << u"2024/5/20 24:00:00"_s << false << 0;
        QTest::newRow("no seconds") << u"2024/5/20 9:40"_s << false << 0;
        QTest::newRow("words") << u"tomorrow"_s << false << 0;
        QTest::newRow("empty") << QString() << false << 0;
    }

    void scheduled()
    {
        if (TestGateway::remote())
            QSKIP("the due times needs the test's clock; the service reads the machine's");
        QFETCH(QString, sendTime);
        QFETCH(bool, accepted);
        QFETCH(int, dueInSeconds);

        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        QVERIFY(
            m_gateway
                ->SendScheduledMessage(Account, Phone, u"使用SDK发送定时短信"_s, sendTime, outcome)
                .isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        // Charged when submitted.
        QCOMPARE(balance(Account), accepted ? u"0.90"_s : u"1.00"_s);
        if (!accepted) {
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        if (dueInSeconds > 0) {
            QCOMPARE(handset(Phone), QStringList());
            m_now = m_now.addSecs(dueInSeconds - 1);
            QCOMPARE(handset(Phone), QStringList());
            m_now = m_now.addSecs(1);
        }
        QCOMPARE(handset(Phone), QStringList { u"使用SDK发送定时短信"_s });
    }

    void scheduledIsoWithOffset()
    {
        if (TestGateway::remote())
            QSKIP("the due time needs the test's clock; the service reads the machine's");
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        const QString due = m_now.addSecs(300).toUTC().toString(Qt::ISODate);
        QVERIFY(due.endsWith(u'Z'));
        Bool16 outcome = 0;
        QVERIFY(m_gateway->SendScheduledMessage(Account, Phone, u"hi"_s, due, outcome).isOk());
        QCOMPARE(outcome, True16);
        m_now = m_now.addSecs(299);
        QCOMPARE(handset(Phone), QStringList());
        m_now = m_now.addSecs(1);
        QCOMPARE(handset(Phone), QStringList { u"hi"_s });
    }

    // Due messages go out in any operation, in any instance, whatever its outcome; a
    // send also when the store refuses it, or when it never reaches the store.
    void scheduledDeliveredByAnyOperation_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("otherFen"); // the other account's balance; -1: none
        for (const auto &[name, call] : operations())
            QTest::newRow(name) << call << -1;
        const auto send = [](const QString &phone) -> Operation {
            return [phone](GatewayClient &g, const QString &a, Answer &r) {
                return g.SendMessage(a, phone, u"now"_s, r.outcome);
            };
        };
        QTest::newRow("SendMessage, sent") << send(Phone) << 100;
        QTest::newRow("SendMessage, two recipients, sent")
            << send(u"13800138000,13900139000"_s) << 100;
        QTest::newRow("SendMessage, balance short") << send(Phone) << 0;
        QTest::newRow("SendMessage, malformed recipient") << send(u"12"_s) << 100;
    }

    void scheduledDeliveredByAnyOperation()
    {
        if (TestGateway::remote())
            QSKIP("the due time needs the test's clock; the service reads the machine's");
        QFETCH(Operation, operation);
        QFETCH(int, otherFen);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        if (otherFen >= 0)
            QCOMPARE(registerAccount(Other), True16);
        if (otherFen > 0)
            QVERIFY(credit(Other, otherFen));
        Bool16 outcome = 0;
        QVERIFY(
            m_gateway
                ->SendScheduledMessage(Account, Phone, u"later"_s, u"2024/5/20 9:40:00"_s, outcome)
                .isOk());
        QCOMPARE(outcome, True16);
        StoreProbe probe(storePath());
        const QString delivered
            = u"SELECT count(*) FROM mt WHERE text = 'later' AND state = 'delivered'"_s;
        m_now = m_now.addSecs(600);
        QCOMPARE(probe.count(delivered), 0);

        std::unique_ptr<GatewayClient> other = openGateway();
        QVERIFY(other);
        Answer answer;
        QVERIFY(operation(*other, Other, answer).isOk());
        QCOMPARE(probe.count(delivered), 1);
        QCOMPARE(probe.count(
                     u"SELECT count(*) FROM mt WHERE text = 'later' AND delivered_at = due_at"_s),
                 1);
    }

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

    // Cards made by the local component exist only once their listing is published.
    // The service commits them before it answers, so its cards are stored whatever the
    // operator's listing does; it refuses a value or count out of range as a bad request.
    void issueCardsPublished_data()
    {
        QTest::addColumn<qint64>("valueFen");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("published");
        QTest::addColumn<int>("offered");
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<bool>("failsThroughService");
        QTest::addColumn<qint64>("storedThroughService");
        QTest::newRow("published")
            << qint64(500) << 3 << true << 3 << qint64(3) << false << qint64(3);
        QTest::newRow("listing could not be written")
            << qint64(500) << 3 << false << 3 << qint64(0) << false << qint64(3);
        QTest::newRow("value out of range")
            << qint64(0) << 3 << true << 0 << qint64(0) << true << qint64(0);
        QTest::newRow("count out of range")
            << qint64(500) << 101 << true << 0 << qint64(0) << true << qint64(0);
    }

    void issueCardsPublished()
    {
        QFETCH(qint64, valueFen);
        QFETCH(int, count);
        QFETCH(bool, published);
        QFETCH(int, offered);
        QFETCH(qint64, stored);
        QFETCH(bool, failsThroughService);
        QFETCH(qint64, storedThroughService);
        int seen = 0;
        const Status status = m_operator->issueCards(
            valueFen, count, [&](const QList<LocalGateway::IssuedCard> &cards) {
                seen = int(cards.size());
                for (const auto &card : cards) {
                    if (card.number.size() != 16 || card.password.size() != 12
                        || card.valueFen != valueFen)
                        seen = -1;
                }
                return published;
            });
        const bool remote = TestGateway::remote();
        QCOMPARE(status.failed(), remote && failsThroughService);
        QCOMPARE(seen, offered);
        QCOMPARE(StoreProbe(storePath()).count(u"SELECT count(*) FROM cards"_s),
                 remote ? storedThroughService : stored);
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

    // Texts that look like SQL or format strings are kept and handed back literally.
    void literalTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quote and comment") << u"'); DROP TABLE accounts; --"_s;
        QTest::newRow("double quotes") << u"\"x\" OR 1=1"_s;
        QTest::newRow("format markers") << u"%1 %2 %s %n"_s;
        QTest::newRow("NUL inside") << QString(u"a\0b"_s);
        QTest::newRow("line breaks") << u"line 1\r\nline 2"_s;
        QTest::newRow("emoji") << u"😀 ok"_s;
        QTest::newRow("backslashes") << u"C:\\path\\"_s;
    }

    void literalTexts()
    {
        QFETCH(QString, text);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));

        Bool16 outcome = 0;
        if (TestStore::onPostgresql() && text.contains(QChar(u'\0'))) {
            // PostgreSQL keeps no U+0000: refused, said so, and nothing changed.
            const QStringList before = StoreProbe(storePath()).snapshot();
            const Status status = m_gateway->SetAutoReply(Account, text, outcome);
            QCOMPARE(status.code(), qint32(0x80070057u));
            QVERIFY2(
                status.description().endsWith(
                    u"文本中含有空字符（U+0000），PostgreSQL 存储无法保存它；操作未执行，数据未改变"_s),
                qPrintable(status.description()));
            QCOMPARE(m_gateway->SendMessage(Account, Phone, text, outcome).code(),
                     qint32(0x80070057u));
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(m_gateway->SetAutoReply(Account, text, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString reply;
        QVERIFY(m_gateway->GetAutoReply(Account, reply).isOk());
        QCOMPARE(reply, text);

        QVERIFY(m_gateway->SendMessage(Account, Phone, text, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(handset(Phone).value(0), text);

        arrive(u"13900139000"_s, text);
        const Batch batch = receive(Account);
        QString got;
        QVERIFY(batch.table.at(0, 2, got).isOk());
        QCOMPARE(got, text);
    }

    // Listings come a page at a time, each page going on where the last one ended; the
    // first page counts the whole listing; a cursor no listing gave is refused.
    void listingsComeInPages()
    {
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        for (const QString &text : { u"one"_s, u"two"_s, u"three"_s, u"four"_s, u"five"_s }) {
            Bool16 outcome = 0;
            QVERIFY(m_gateway->SendMessage(Account, u"13800138000"_s, text, outcome).isOk());
            QCOMPARE(outcome, True16);
        }
        QStringList pages;
        LocalGateway::Page page { QString(), 2 };
        for (int round = 0; round < 4; ++round) {
            LocalGateway::Listing<LocalGateway::HandsetMessage> listing;
            QVERIFY(m_operator->handsetMessages(u"13800138000"_s, page, listing).isOk());
            QStringList texts { QString::number(listing.total) };
            for (const auto &m : std::as_const(listing.entries))
                texts.append(m.text);
            pages.append(texts.join(u' '));
            if (listing.next.isEmpty())
                break;
            page.after = listing.next;
        }
        QCOMPARE(pages, (QStringList { u"5 one two"_s, u"-1 three four"_s, u"-1 five"_s }));

        LocalGateway::Listing<LocalGateway::AccountSummary> accounts;
        QVERIFY(m_operator->accounts(LocalGateway::Page { Account, 2 }, accounts).isOk());
        QCOMPARE(accounts.entries.size(), 0);
        QCOMPARE(accounts.next, QString());

        LocalGateway::Listing<LocalGateway::HandsetMessage> refused;
        const Status status = m_operator->handsetMessages(
            u"13800138000"_s, LocalGateway::Page { u"not a cursor"_s, 2 }, refused);
        QCOMPARE(status.code(), Store::InvalidArgument);
    }

    void persistsAcrossInstances()
    {
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 1230));
        Bool16 outcome = 0;
        QVERIFY(m_gateway->SetForwarding(Account, u"13900139000"_s, outcome).isOk());
        QVERIFY(m_gateway->SetAutoReply(Account, u"稍后回复"_s, outcome).isOk());
        arrive(Phone, u"waiting"_s);
        m_gateway.reset();

        m_gateway = openGateway();
        QVERIFY(m_gateway);
        QCOMPARE(balance(Account), u"12.10"_s); // two charged copies of the arrival
        QString text;
        QVERIFY(m_gateway->GetForwarding(Account, text).isOk());
        QCOMPARE(text, u"13900139000"_s);
        QVERIFY(m_gateway->GetAutoReply(Account, text).isOk());
        QCOMPARE(text, u"稍后回复"_s);
        QCOMPARE(receive(Account).total, u"1"_s);
    }

    // Two instances (as two console windows) on one store see each other's changes.
    void instancesShareTheStore()
    {
        std::unique_ptr<GatewayClient> second = openGateway();
        QVERIFY(second);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        Bool16 outcome = 0;
        QVERIFY(second->SendMessage(Account, Phone, u"hi"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(balance(Account), u"0.90"_s);
    }

    // A long random mix of operations on a few accounts; cleanup() then checks that
    // every balance is its ledger's sum and no charge lacks its message.
    void randomMixKeepsTheLedger()
    {
        const QStringList accounts { Account, Other, u"ZZZ-999-AAA-77777"_s };
        for (const QString &a : accounts)
            QCOMPARE(registerAccount(a), True16);
        QRandomGenerator random(20240520);
        QList<LocalGateway::IssuedCard> cards = issueCards(300, 20);
        QCOMPARE(cards.size(), 20);
        Bool16 outcome = 0;
        for (int step = 0; step < 300; ++step) {
            const QString &a = accounts.at(random.bounded(accounts.size()));
            m_now = m_now.addSecs(random.bounded(120));
            switch (random.bounded(7)) {
            case 0:
                if (!cards.isEmpty()) {
                    const auto card = cards.takeAt(random.bounded(cards.size()));
                    QVERIFY(m_gateway->Recharge(a, card.number, card.password, outcome).isOk());
                }
                break;
            case 1:
                QVERIFY(m_gateway
                            ->SendMessage(a, u"13800138000,13900139000"_s,
                                          QString(random.bounded(1, 200), u'x'), outcome)
                            .isOk());
                break;
            case 2:
                QVERIFY(m_gateway
                            ->SendScheduledMessage(
                                a, Phone, u"定时"_s,
                                m_now.addSecs(random.bounded(600)).toString(u"yyyy/M/d H:mm:ss"_s),
                                outcome)
                            .isOk());
                break;
            case 3: {
                LocalGateway::MoReport report;
                QVERIFY(m_operator->receiveFromHandset(Phone, a, {}, u"hello"_s, report).isOk());
                break;
            }
            case 4:
                QVERIFY(m_gateway->SetForwarding(a, u"13600136000"_s, outcome).isOk());
                break;
            case 5:
                QVERIFY(m_gateway->SetAutoReply(a, u"自动回复"_s, outcome).isOk());
                break;
            case 6:
                (void)receive(a);
                break;
            }
        }
        StoreProbe probe(storePath());
        QVERIFY(probe.count(u"SELECT count(*) FROM ledger"_s) > 50);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestLocalGateway)
#include "tst_localgateway.moc"
