#include "checker/contractchecker.h"

#include "checker/checkertexts.h"
#include "gateway/gatewayloader.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

using Report = std::function<void(const CheckRow &)>;

// The texts one call hands over. Every operation takes the ones it needs.
struct Inputs {
    QString account;
    QString password;
    QString phone;
    QString text;
    QString cardNo;
    QString cardPassword;
    QString sendTime;
    QString extension;
    QString newPassword;

    // Every text the same.
    static Inputs allOf(const QString &value)
    {
        return { value, value, value, value, value, value, value, value, value };
    }
};

// What one call gave back.
struct Answer {
    Status status;
    bool hasOutcome = true; // a Bool16 slot, else a text slot
    Bool16 outcome = ContractChecker::Sentinel;
    QString text;
    bool receive = false;
    Variant total;
    Variant current;
    Variant messages;
};

struct Operation {
    QString name;
    std::function<Answer(GatewayClient &, const Inputs &)> call;
};

Answer withOutcome(const std::function<Status(Bool16 &)> &call)
{
    Answer answer;
    answer.status = call(answer.outcome);
    return answer;
}

// What a text slot holds before the call: a text no component answers.
const QString TextSentinel = u"\u0001untouched\u0001"_s;

Answer withText(const std::function<Status(QString &)> &call)
{
    Answer answer;
    answer.hasOutcome = false;
    answer.text = TextSentinel;
    answer.status = call(answer.text);
    return answer;
}

// Register first (it signs the scratch account on), Deregister last (it signs it off).
const QList<Operation> &operations()
{
    using C = GatewayClient;
    using I = Inputs;
    static const QList<Operation> table = {
        { u"Register"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) {
                  const RegisterParticulars p { in.account,  in.password, in.text,  in.text,
                                                in.text,     in.text,     in.text,  in.phone,
                                                in.phone,    in.text,     in.phone, in.text,
                                                in.extension };
                  return c.Register(p, o);
              });
          } },
        { u"QueryBalance"_s,
          [](C &c, const I &in) {
              return withText([&](QString &t) { return c.QueryBalance(in.account, t); });
          } },
        { u"Recharge"_s,
          [](C &c, const I &in) {
              return withOutcome(
                  [&](Bool16 &o) { return c.Recharge(in.account, in.cardNo, in.cardPassword, o); });
          } },
        { u"SendMessage"_s,
          [](C &c, const I &in) {
              return withOutcome(
                  [&](Bool16 &o) { return c.SendMessage(in.account, in.phone, in.text, o); });
          } },
        { u"SendScheduledMessage"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) {
                  return c.SendScheduledMessage(in.account, in.phone, in.text, in.sendTime, o);
              });
          } },
        { u"ReceiveMessages"_s,
          [](C &c, const I &in) {
              Answer a;
              a.receive = true;
              a.status = c.ReceiveMessages(in.account, a.total, a.current, a.messages, a.outcome);
              return a;
          } },
        { u"ReceiveMessagesNet"_s,
          [](C &c, const I &in) {
              Answer a;
              a.receive = true;
              a.status = c.ReceiveMessagesNet(in.account, a.total, a.current, a.messages,
                                              in.extension, a.outcome);
              return a;
          } },
        { u"SetForwarding"_s,
          [](C &c, const I &in) {
              return withOutcome(
                  [&](Bool16 &o) { return c.SetForwarding(in.account, in.phone, o); });
          } },
        { u"GetForwarding"_s,
          [](C &c, const I &in) {
              return withText([&](QString &t) { return c.GetForwarding(in.account, t); });
          } },
        { u"CancelForwarding"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) { return c.CancelForwarding(in.account, o); });
          } },
        { u"SetAutoReply"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) { return c.SetAutoReply(in.account, in.text, o); });
          } },
        { u"GetAutoReply"_s,
          [](C &c, const I &in) {
              return withText([&](QString &t) { return c.GetAutoReply(in.account, t); });
          } },
        { u"CancelAutoReply"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) { return c.CancelAutoReply(in.account, o); });
          } },
        { u"ChangePassword"_s,
          [](C &c, const I &in) {
              return withOutcome(
                  [&](Bool16 &o) { return c.ChangePassword(in.account, in.newPassword, o); });
          } },
        { u"Deregister"_s,
          [](C &c, const I &in) {
              return withOutcome([&](Bool16 &o) { return c.Deregister(in.account, o); });
          } },
    };
    return table;
}

// The number a count text begins with (blanks, a sign, digits, a fraction, an exponent),
// or nothing when it does not begin with one.
std::optional<double> leadingNumber(const QString &text)
{
    static const QRegularExpression number(
        uR"(^[ \t\r\n]*([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?))"_s);
    const QRegularExpressionMatch match = number.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toDouble();
}

// What is wrong with an answer, or the empty text when it keeps the contract.
QString problemWith(const Answer &answer)
{
    if (answer.status.failed()) {
        if (answer.status.description().trimmed().isEmpty())
            return CheckerTexts::failureWithoutDescription(answer.status.code());
    }
    if (answer.hasOutcome) {
        const Bool16 o = answer.outcome;
        if (o != -1 && o != 0 && o != 1 && o != ContractChecker::Sentinel)
            return CheckerTexts::outcomeGarbage(o);
    }
    if (!answer.receive || answer.status.failed() || (answer.outcome != -1 && answer.outcome != 1))
        return QString();

    QString total;
    QString current;
    if (answer.total.toText(total).failed() || !leadingNumber(total))
        return CheckerTexts::countNotANumber(u"total"_s, total);
    if (answer.current.toText(current).failed() || !leadingNumber(current))
        return CheckerTexts::countNotANumber(u"current"_s, current);
    const double rows = *leadingNumber(current);
    if (rows <= 0)
        return QString();
    TextTable table;
    if (answer.messages.toTable(table).failed())
        return CheckerTexts::messagesNotATable();
    if (static_cast<double>(table.rows()) < rows || table.columns() < 4)
        return CheckerTexts::tableTooSmall(table.rows(), table.columns(), current);
    return QString();
}

QString describe(const Answer &answer)
{
    if (answer.status.failed())
        return CheckerTexts::answeredFailure(answer.status.code(), answer.status.description());
    if (!answer.hasOutcome)
        return answer.text == TextSentinel
            ? CheckerTexts::textUntouched(answer.status.code())
            : CheckerTexts::answeredText(answer.status.code(), answer.text);
    return CheckerTexts::answered(answer.status.code(),
                                  answer.outcome == ContractChecker::Sentinel
                                      ? CheckerTexts::outcomeUntouched()
                                      : QString::number(answer.outcome));
}

bool accepted(const Answer &answer)
{
    return answer.status.isOk() && (!answer.hasOutcome || answer.outcome == -1);
}

QString randomText(QStringView alphabet, int length)
{
    QString text;
    for (int i = 0; i < length; ++i)
        text += alphabet[QRandomGenerator::system()->bounded(int(alphabet.size()))];
    return text;
}

// Inputs that a component should accept for a scratch account.
Inputs scratchInputs()
{
    Inputs in;
    in.account = ContractChecker::scratchAccount();
    in.password = randomText(u"abcdefghijkmnpqrstuvwxyz23456789", 16);
    in.phone = u"139"_s + randomText(u"0123456789", 8);
    in.text = u"contract check"_s;
    in.cardNo = u"0000000000000000"_s;
    in.cardPassword = u"000000"_s;
    in.sendTime = QDateTime::currentDateTime().addSecs(600).toString(u"yyyy/M/d H:mm:ss"_s);
    in.extension = QString();
    in.newPassword = randomText(u"abcdefghijkmnpqrstuvwxyz23456789", 16);
    return in;
}

} // namespace

ContractChecker::ContractChecker(QString pluginFile, QString classId)
    : m_pluginFile(std::move(pluginFile))
    , m_classId(std::move(classId))
{
}

QStringList ContractChecker::groups()
{
    return { u"load"_s,
             u"operations"_s,
             u"instances"_s,
             u"hostile-empty"_s,
             u"hostile-megabyte"_s,
             u"hostile-control"_s,
             u"hostile-surrogates"_s,
             u"hostile-sql"_s };
}

QString ContractChecker::hostileText(const QString &group)
{
    if (group == u"hostile-megabyte")
        return QString(1 << 20, u'9');
    if (group == u"hostile-control") {
        QString text = u"138"_s;
        for (char16_t c : { u'\0', u'\t', u'\n', u'\r', u'\x1b', u'\x7f', u'\x85', u'\u2028',
                            u'\u202e', u'\u2066' })
            text += QChar(c) + u"0"_s;
        return text + u"\x1b[2J"_s;
    }
    if (group == u"hostile-surrogates") {
        QString text = u"a"_s;
        text += QChar(0xD800);
        text += u"b"_s;
        text += QChar(0xDC00);
        text += QChar(0xDC00);
        text += QChar(0xD800);
        return text;
    }
    if (group == u"hostile-sql")
        return u"'; DROP TABLE accounts; -- \" OR 1=1 -- %_\\ ' OR ''='"_s;
    return QString();
}

QString ContractChecker::rowName(const QString &group)
{
    if (group == u"load")
        return CheckerTexts::checkLoad();
    if (group == u"instances")
        return CheckerTexts::checkInstances();
    if (group == u"hostile-empty")
        return CheckerTexts::checkHostile(CheckerTexts::hostileEmpty());
    if (group == u"hostile-megabyte")
        return CheckerTexts::checkHostile(CheckerTexts::hostileMegabyte());
    if (group == u"hostile-control")
        return CheckerTexts::checkHostile(CheckerTexts::hostileControl());
    if (group == u"hostile-surrogates")
        return CheckerTexts::checkHostile(CheckerTexts::hostileSurrogates());
    if (group == u"hostile-sql")
        return CheckerTexts::checkHostile(CheckerTexts::hostileSql());
    return group;
}

QString ContractChecker::scratchAccount()
{
    const QStringView alphabet = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return randomText(alphabet, 3) + u'-' + randomText(alphabet, 3) + u'-' + randomText(alphabet, 3)
        + u'-' + randomText(alphabet, 5);
}

Status ContractChecker::makeClient(std::unique_ptr<GatewayClient> &client) const
{
    return GatewayLoader::createFrom(m_pluginFile, m_classId, client);
}

void ContractChecker::runGroup(const QString &group, const Report &report)
{
    if (group == u"load")
        runLoad(report);
    else if (group == u"operations")
        runOperations(report);
    else if (group == u"instances")
        runInstances(report);
    else if (group.startsWith(u"hostile-"_s))
        runHostile(group, report);
}

void ContractChecker::runLoad(const Report &report)
{
    std::unique_ptr<GatewayClient> client;
    const Status status = makeClient(client);
    if (status.failed())
        report({ rowName(u"load"_s), false, status.description() });
    else
        report({ rowName(u"load"_s), true, CheckerTexts::loaded(m_pluginFile) });
}

void ContractChecker::runOperations(const Report &report)
{
    std::unique_ptr<GatewayClient> client;
    const Status made = makeClient(client);
    if (made.failed()) {
        report({ rowName(u"operations"_s), false, made.description() });
        return;
    }
    const Inputs in = scratchInputs();
    for (const Operation &operation : operations()) {
        const Answer answer = operation.call(*client, in);
        const QString problem = problemWith(answer);
        report(
            { operation.name, problem.isEmpty(), problem.isEmpty() ? describe(answer) : problem });
    }
}

void ContractChecker::runInstances(const Report &report)
{
    const QString name = rowName(u"instances"_s);
    std::unique_ptr<GatewayClient> one;
    std::unique_ptr<GatewayClient> other;
    Status made = makeClient(one);
    if (made.isOk())
        made = makeClient(other);
    if (made.failed()) {
        report({ name, false, made.description() });
        return;
    }
    if (one == other) { // the same object handed out twice
        (void)other.release(); // one object: destroying it twice would be our fault
        report({ name, false, CheckerTexts::sameInstanceTwice() });
        return;
    }
    const Inputs in = scratchInputs();
    const QList<Operation> &ops = operations();
    const Operation &registerAccount = ops.first();
    const Operation &queryBalance = ops.at(1);
    for (const QString &problem : { problemWith(registerAccount.call(*one, in)),
                                    problemWith(queryBalance.call(*other, in)) }) {
        if (!problem.isEmpty()) {
            report({ name, false, problem });
            return;
        }
    }
    one.reset();
    const QString after = problemWith(queryBalance.call(*other, in));
    if (!after.isEmpty()) {
        report({ name, false, CheckerTexts::secondFailedAfterFirstWent(after) });
        return;
    }
    report({ name, true, CheckerTexts::instancesIndependent() });
}

void ContractChecker::runHostile(const QString &group, const Report &report)
{
    const QString name = rowName(group);
    std::unique_ptr<GatewayClient> client;
    const Status made = makeClient(client);
    if (made.failed()) {
        report({ name, false, made.description() });
        return;
    }
    const QString hostile = hostileText(group);
    const Inputs scratch = scratchInputs();
    Inputs onScratch = Inputs::allOf(hostile);
    onScratch.account = scratch.account;

    int calls = 0;
    int acceptedCalls = 0;
    QStringList problems;
    const auto judge = [&](const Operation &operation, const Answer &answer) {
        ++calls;
        if (accepted(answer))
            ++acceptedCalls;
        const QString problem = problemWith(answer);
        if (!problem.isEmpty() && problems.size() < 3)
            problems.append(operation.name + u": "_s + problem);
    };
    // Hostile texts everywhere, the account number included; then a signed-on scratch
    // account with hostile texts in every other argument.
    for (const Operation &operation : operations())
        judge(operation, operation.call(*client, Inputs::allOf(hostile)));
    judge(operations().first(), operations().first().call(*client, scratch));
    for (const Operation &operation : operations())
        judge(operation, operation.call(*client, onScratch));

    if (problems.isEmpty())
        report({ name, true,
                 CheckerTexts::hostileSummary(calls, acceptedCalls, calls - acceptedCalls) });
    else
        report({ name, false, problems.join(u"; "_s) });
}
