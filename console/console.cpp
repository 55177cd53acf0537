#include "console/console.h"

#include "console/consoletexts.h"
#include "gateway/gatewayloader.h"
#include "gateway/gatewaytexts.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr char16_t IdeographicSpace = u'\u3000';
// A scheduled message goes out this long after the press.
constexpr qint64 ScheduleDelaySeconds = qint64(10) * 60;

bool isCountBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The end of the longest prefix of text[from..] that is a decimal number without sign:
// digits, an optional fraction, an optional exponent (== from when there is none).
qsizetype scanUnsignedNumber(const QString &text, qsizetype from)
{
    const qsizetype size = text.size();
    qsizetype i = from;
    qsizetype digits = 0;
    while (i < size && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < size && text[i] == u'.') {
        qsizetype j = i + 1;
        while (j < size && isDigit(text[j])) {
            ++j;
            ++digits;
        }
        if (digits > 0)
            i = j;
    }
    if (digits == 0)
        return from;
    if (i < size && (text[i] == u'e' || text[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < size && (text[j] == u'+' || text[j] == u'-'))
            ++j;
        if (j < size && isDigit(text[j])) {
            while (j < size && isDigit(text[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

// The value of a scanned number: beyond the double range it reads as infinity, below it
// as 0, which is what QString::toDouble gives for such texts.
double numberValue(const QString &text, qsizetype from, qsizetype end)
{
    return QStringView(text).sliced(from, end - from).toDouble();
}

} // namespace

Status Console::createInstalledGateway(std::unique_ptr<GatewayClient> &client)
{
    return GatewayLoader().create(QString::fromUtf16(GatewayIds::SmsGatewayClassId), client);
}

Console::Console(ConsoleView &view, GatewayFactory factory, Clock clock)
    : m_view(view)
    , m_factory(std::move(factory))
    , m_clock(std::move(clock))
{
}

Console::~Console() = default;

// --- shared operations ---------------------------------------------------------------

QString Console::readField(InputBox box) const
{
    const QString text = m_view.boxText(box);
    const auto isTrimmed = [](QChar c) { return c == u' ' || c == IdeographicSpace; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmed(text[begin]))
        ++begin;
    while (end > begin && isTrimmed(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

Status Console::ensureGateway()
{
    if (m_gateway)
        return Status::ok();
    std::unique_ptr<GatewayClient> made;
    QUILLET_TRY(m_factory(made));
    if (!made)
        return Status::failure(Status::CreationFailed, GatewayTexts::noInstance());
    m_gateway = std::move(made);
    return Status::ok();
}

void Console::showNotice(const QString &text)
{
    m_view.showNotice(text);
}

void Console::setOutputText(const QString &text)
{
    m_view.setOutputText(text);
}

Status Console::showBalance()
{
    QUILLET_TRY(ensureGateway());
    QString balance;
    QUILLET_TRY(m_gateway->QueryBalance(m_accountNo, balance));
    setOutputText(ConsoleTexts::BalancePrefix + balance);
    return Status::ok();
}

void Console::noticeOutcome(Bool16 outcome, const QString &succeeded, const QString &failed)
{
    m_lastResult = outcome;
    showNotice(m_lastResult == True16 ? succeeded : failed);
}

// --- the commands ----------------------------------------------------------------------

namespace {

// Register sends the boxes it read with the fixed sample particulars.
Status registerAccount(GatewayClient &gateway, const CallInputs &in, Bool16 &outcome)
{
    using enum Field;
    const RegisterParticulars particulars {
        .accountNo = in[AccountNo],
        .password = in[AccountPassword],
        .province = ConsoleTexts::SampleProvince,
        .city = ConsoleTexts::SampleCity,
        .trade = ConsoleTexts::SampleTrade,
        .company = ConsoleTexts::SampleCompany,
        .contactName = ConsoleTexts::SampleContact,
        .telephone = ConsoleTexts::SampleTelephone,
        .mobile = in[PhoneNo],
        .email = ConsoleTexts::SampleEmail,
        .fax = ConsoleTexts::SampleFax,
        .address = ConsoleTexts::SampleAddress,
        .postcode = ConsoleTexts::SamplePostcode,
    };
    return gateway.Register(particulars, outcome);
}

} // namespace

const QList<CommandRow> &Console::commands()
{
    using namespace ConsoleTexts;
    using enum InputBox;
    using enum Field;
    using enum NoticeCommand::Then;
    using G = GatewayClient;
    using In = const CallInputs &;
    using Out = Bool16 &;
    // A notice command's row gives the boxes it reads and where each goes, whether it
    // schedules, its gateway call, its two notices and what follows them; runNotice runs
    // it. A command of a shape of its own is its member function.
    // clang-format off
    static const QList<CommandRow> rows = {
        {u"Command1"_s, RegisterButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text2, AccountPassword}, {Text3, PhoneNo}},
            .call = registerAccount,
            .succeeded = RegisterSucceeded, .failed = RegisterFailed}},
        {u"Command2"_s, DeregisterButton, NoticeCommand {
            .reads = {{Text1, AccountNo}},
            .call = [](G &g, In in, Out out) { return g.Deregister(in[AccountNo], out); },
            .succeeded = DeregisterSucceeded, .failed = DeregisterFailed}},
        {u"Command3"_s, QueryBalanceButton, &Console::doQueryBalance},
        {u"Command4"_s, SendMessageButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text3, PhoneNo}},
            .call = [](G &g, In in, Out out) {
                return g.SendMessage(in[AccountNo], in[PhoneNo], SendMessageText, out); },
            .succeeded = SendSucceeded, .failed = SendFailed, .then = ShowBalance}},
        {u"Command5"_s, RechargeButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text4, CardNo}, {Text5, CardPassword}},
            .call = [](G &g, In in, Out out) {
                return g.Recharge(in[AccountNo], in[CardNo], in[CardPassword], out); },
            .succeeded = RechargeSucceeded, .failed = RechargeFailed, .then = ShowBalance}},
        {u"Command6"_s, ScheduledMessageButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text3, PhoneNo}},
            .schedules = true,
            .call = [](G &g, In in, Out out) {
                return g.SendScheduledMessage(in[AccountNo], in[PhoneNo], ScheduledMessageText,
                                              in.sendTime, out); },
            .succeeded = SendSucceeded, .failed = SendFailed, .then = ShowBalance}},
        {u"Command7"_s, ReceiveMessagesButton, &Console::doReceiveMessages},
        {u"Command8"_s, ApplyForwardingButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text3, PhoneNo}},
            .call = [](G &g, In in, Out out) {
                return g.SetForwarding(in[AccountNo], in[PhoneNo], out); },
            .succeeded = ForwardingSucceeded, .failed = ForwardingFailed}},
        {u"Command9"_s, CancelForwardingButton, NoticeCommand {
            .reads = {{Text1, AccountNo}},
            .call = [](G &g, In in, Out out) { return g.CancelForwarding(in[AccountNo], out); },
            .succeeded = ForwardingSucceeded, .failed = ForwardingFailed}},
        {u"Command10"_s, GetForwardingButton, &Console::doGetForwarding},
        {u"Command11"_s, ApplyAutoReplyButton, NoticeCommand {
            .reads = {{Text1, AccountNo}},
            .call = [](G &g, In in, Out out) {
                return g.SetAutoReply(in[AccountNo], AutoReplyText, out); },
            .succeeded = AutoReplySucceeded, .failed = AutoReplyFailed}},
        {u"Command12"_s, CancelAutoReplyButton, NoticeCommand {
            .reads = {{Text1, AccountNo}},
            .call = [](G &g, In in, Out out) { return g.CancelAutoReply(in[AccountNo], out); },
            .succeeded = CancelAutoReplySucceeded, .failed = CancelAutoReplyFailed}},
        {u"Command13"_s, GetAutoReplyButton, &Console::doGetAutoReply},
        {u"Command14"_s, ChangePasswordButton, NoticeCommand {
            .reads = {{Text1, AccountNo}, {Text6, NewPassword}},
            .call = [](G &g, In in, Out out) {
                return g.ChangePassword(in[AccountNo], in[NewPassword], out); },
            .succeeded = ChangePasswordSucceeded, .failed = ChangePasswordFailed}},
        {u"Command15"_s, ReceiveMessagesNetButton, &Console::doReceiveMessagesNet},
    };
    // clang-format on
    return rows;
}

const CommandRow *Console::command(QStringView button)
{
    const QList<CommandRow> &rows = commands();
    const auto found = std::ranges::find(rows, button, &CommandRow::button);
    return found == rows.end() ? nullptr : &*found;
}

void Console::run(const CommandRow &command)
{
    const auto *notice = std::get_if<NoticeCommand>(&command.command);
    const Status status
        = notice ? runNotice(*notice) : (this->*std::get<CommandFunction>(command.command))();
    if (status.failed())
        m_view.reportError(status);
}

void Console::press(QStringView button)
{
    if (const CommandRow *row = command(button))
        run(*row);
}

Status Console::runNotice(const NoticeCommand &command)
{
    CallInputs inputs;
    for (const NoticeCommand::BoxRead &read : command.reads) {
        QString &text = inputs[read.field];
        text = readField(read.box);
        if (QString *kept = stateField(read.field))
            *kept = text;
    }
    if (command.schedules) {
        // The clock is read before the gateway is created, so creating it does not shift
        // the send time.
        inputs.sendTime
            = m_clock().addSecs(ScheduleDelaySeconds).toString(ConsoleTexts::SendTimeFormat);
    }
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(command.call(*m_gateway, inputs, outcome));
    noticeOutcome(outcome, command.succeeded, command.failed);
    if (command.then == NoticeCommand::Then::ShowBalance)
        return showBalance();
    return Status::ok();
}

QString *Console::stateField(Field field)
{
    switch (field) {
    case Field::AccountNo:
        return &m_accountNo;
    case Field::AccountPassword:
        return &m_accountPassword;
    case Field::PhoneNo:
        return &m_phoneNo;
    case Field::CardNo:
    case Field::CardPassword:
    case Field::NewPassword:
        break;
    }
    return nullptr;
}

Status Console::doQueryBalance()
{
    m_accountNo = readField(InputBox::Text1);
    return showBalance();
}

Status Console::doReceiveMessages()
{
    return receiveAll([](GatewayClient &gateway, const QString &accountNo, Variant &total,
                         Variant &current, Variant &messages, Bool16 &outcome) {
        return gateway.ReceiveMessages(accountNo, total, current, messages, outcome);
    });
}

Status Console::doReceiveMessagesNet()
{
    return receiveAll([](GatewayClient &gateway, const QString &accountNo, Variant &total,
                         Variant &current, Variant &messages, Bool16 &outcome) {
        return gateway.ReceiveMessagesNet(accountNo, total, current, messages, QString(), outcome);
    });
}

Status Console::receiveAll(const ReceiveOperation &operation)
{
    static const QString *const FieldLabels[] = {
        &ConsoleTexts::ServiceNumberLabel,
        &ConsoleTexts::SenderLabel,
        &ConsoleTexts::ContentLabel,
        &ConsoleTexts::SentTimeLabel,
    };
    constexpr qsizetype FieldCount = std::size(FieldLabels);

    m_accountNo = readField(InputBox::Text1);
    QString listing = ConsoleTexts::ReceiveHeader + ConsoleTexts::LineBreak;
    Variant total;
    Variant current;
    Variant messages;
    Bool16 outcome = False16;
    bool keepReceiving = true;
    int calls = 0;

    while (keepReceiving) {
        if (calls == m_receiveCallLimit) {
            listing += ConsoleTexts::receiveStopped(calls) + ConsoleTexts::LineBreak;
            break;
        }
        QUILLET_TRY(ensureGateway());
        QUILLET_TRY(operation(*m_gateway, m_accountNo, total, current, messages, outcome));
        ++calls;
        m_lastResult = outcome;
        if (outcome == False16)
            break;

        QString totalText;
        QString currentText;
        QUILLET_TRY(total.toText(totalText));
        QUILLET_TRY(current.toText(currentText));
        const double totalCount = countValue(totalText);
        const double currentCount = countValue(currentText);

        // The batch is read in full before any of it joins the listing, so a malformed
        // table leaves nothing half-appended.
        QString batch = ConsoleTexts::TotalLabel + totalText + ConsoleTexts::LineBreak
            + ConsoleTexts::CurrentLabel + currentText + ConsoleTexts::LineBreak;
        if (currentCount > 0) {
            TextTable table;
            QUILLET_TRY(messages.toTable(table));
            QString field;
            for (qsizetype m = 0; static_cast<double>(m) <= currentCount - 1; ++m) {
                for (qsizetype f = 0; f < FieldCount; ++f) {
                    QUILLET_TRY(table.at(m, f, field));
                    batch += *FieldLabels[f] + field + ConsoleTexts::LineBreak;
                }
            }
        }
        listing += batch;
        keepReceiving = currentCount < totalCount;
    }
    setOutputText(listing);
    return Status::ok();
}

Status Console::doGetForwarding()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    // Two questions on purpose: the first answer is only read as a truth value (is
    // forwarding set at all?) and kept in lastResult, and the text shown is a second,
    // fresh answer. Components see two GetForwarding calls per press, as they always have,
    // and one whose answer changes in between shows the newer number.
    {
        QString first;
        QUILLET_TRY(m_gateway->GetForwarding(m_accountNo, first));
        m_lastResult = toBool16(first);
    }
    QUILLET_TRY(ensureGateway());
    QString phone;
    QUILLET_TRY(m_gateway->GetForwarding(m_accountNo, phone));
    setOutputText(m_lastResult == True16 ? ConsoleTexts::ForwardingPrefix + phone : QString());
    return Status::ok();
}

Status Console::doGetAutoReply()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    QString reply;
    QUILLET_TRY(m_gateway->GetAutoReply(m_accountNo, reply));
    if (!reply.isEmpty())
        setOutputText(reply);
    return Status::ok();
}

// --- readings of gateway texts ------------------------------------------------------------

double Console::countValue(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && isCountBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    const qsizetype end = scanUnsignedNumber(text, i);
    if (end == i)
        return 0.0;
    const double value = numberValue(text, i, end);
    return negative ? -value : value;
}

Bool16 Console::toBool16(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return False16;
    if (trimmed.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return True16;
    if (trimmed.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return False16;
    qsizetype i = 0;
    if (trimmed[0] == u'+' || trimmed[0] == u'-')
        ++i;
    const qsizetype end = scanUnsignedNumber(trimmed, i);
    if (end > i && end == trimmed.size())
        return numberValue(trimmed, i, end) != 0.0 ? True16 : False16;
    // Any other text, such as a landline number with its area code, is a forwarding
    // number to show.
    return True16;
}
