// The gateway's accounts: registering and signing on, the particulars it takes, changing
// the password, and that every operation but Register needs a signed-on account. Each
// operation with its success and failure rows: outcomes, what is stored, and that a
// failure changes nothing. Run in process and through the service (gatewaysuite.h).

#include "tests/gateway/local/gatewaysuite.h"
#include "tests/gateway/local/storeprobe.h"
#include "gateway/operatorbackend.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestGatewayAccounts : public GatewaySuite {
    Q_OBJECT

private Q_SLOTS:
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
};

QTEST_GUILESS_MAIN(TestGatewayAccounts)
#include "tst_localgateway_accounts.moc"
