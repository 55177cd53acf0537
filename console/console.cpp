#include "console.h"

#include "consoletexts.h"
#include "gatewayloader.h"
#include "gatewaytexts.h"

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

const QList<CommandRow> &Console::commands()
{
    using namespace ConsoleTexts;
    const QString window;
    const QString frame1 = u"Frame1"_s;
    const QString frame2 = u"Frame2"_s;
    // clang-format off
    static const QList<CommandRow> rows = {
        // button          caption                   container  left  top   width height tab command
        {u"Command1"_s,  RegisterButton,           frame1, { 360,  360, 1095, 375},  2, &Console::doRegister},
        {u"Command2"_s,  DeregisterButton,         frame1, {1560,  360, 1095, 375},  4, &Console::doDeregister},
        {u"Command3"_s,  QueryBalanceButton,       window, {3000, 1920, 1095, 375},  3, &Console::doQueryBalance},
        {u"Command4"_s,  SendMessageButton,        window, {4200, 1920, 1095, 375},  5, &Console::doSendMessage},
        {u"Command5"_s,  RechargeButton,           frame1, {5160,  360, 1095, 375}, 13, &Console::doRecharge},
        {u"Command6"_s,  ScheduledMessageButton,   frame1, { 360,  840, 1095, 375}, 18, &Console::doSendScheduledMessage},
        {u"Command7"_s,  ReceiveMessagesButton,    frame1, {1560,  840, 1095, 375}, 19, &Console::doReceiveMessages},
        {u"Command8"_s,  ApplyForwardingButton,    frame1, {2760,  840, 1095, 375}, 20, &Console::doApplyForwarding},
        {u"Command9"_s,  CancelForwardingButton,   frame1, {3960,  840, 1095, 375}, 21, &Console::doCancelForwarding},
        {u"Command10"_s, GetForwardingButton,      frame1, {5160,  840, 1095, 375}, 22, &Console::doGetForwarding},
        {u"Command11"_s, ApplyAutoReplyButton,     frame1, { 240, 1320, 1335, 375}, 23, &Console::doApplyAutoReply},
        {u"Command12"_s, CancelAutoReplyButton,    frame1, {1680, 1320, 1455, 375}, 24, &Console::doCancelAutoReply},
        {u"Command13"_s, GetAutoReplyButton,       frame1, {3240, 1320, 1455, 375}, 25, &Console::doGetAutoReply},
        {u"Command14"_s, ChangePasswordButton,     window, {5040, 2880, 1455, 375}, 26, &Console::doChangePassword},
        {u"Command15"_s, ReceiveMessagesNetButton, frame2, { 360,  240, 1575, 375}, 30, &Console::doReceiveMessagesNet},
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
    const Status status = (this->*command.command)();
    if (status.failed())
        m_view.reportError(status);
}

void Console::press(QStringView button)
{
    if (const CommandRow *row = command(button))
        run(*row);
}

Status Console::doRegister()
{
    m_accountNo = readField(InputBox::Text1);
    m_accountPassword = readField(InputBox::Text2);
    m_phoneNo = readField(InputBox::Text3);
    QUILLET_TRY(ensureGateway());
    const RegisterParticulars particulars {
        .accountNo = m_accountNo,
        .password = m_accountPassword,
        .province = ConsoleTexts::SampleProvince,
        .city = ConsoleTexts::SampleCity,
        .trade = ConsoleTexts::SampleTrade,
        .company = ConsoleTexts::SampleCompany,
        .contactName = ConsoleTexts::SampleContact,
        .telephone = ConsoleTexts::SampleTelephone,
        .mobile = m_phoneNo,
        .email = ConsoleTexts::SampleEmail,
        .fax = ConsoleTexts::SampleFax,
        .address = ConsoleTexts::SampleAddress,
        .postcode = ConsoleTexts::SamplePostcode,
    };
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->Register(particulars, outcome));
    noticeOutcome(outcome, ConsoleTexts::RegisterSucceeded, ConsoleTexts::RegisterFailed);
    return Status::ok();
}

Status Console::doDeregister()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->Deregister(m_accountNo, outcome));
    noticeOutcome(outcome, ConsoleTexts::DeregisterSucceeded, ConsoleTexts::DeregisterFailed);
    return Status::ok();
}

Status Console::doChangePassword()
{
    m_accountNo = readField(InputBox::Text1);
    const QString newPassword = readField(InputBox::Text6);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->ChangePassword(m_accountNo, newPassword, outcome));
    noticeOutcome(outcome, ConsoleTexts::ChangePasswordSucceeded,
                  ConsoleTexts::ChangePasswordFailed);
    return Status::ok();
}

Status Console::doQueryBalance()
{
    m_accountNo = readField(InputBox::Text1);
    return showBalance();
}

Status Console::doRecharge()
{
    m_accountNo = readField(InputBox::Text1);
    const QString cardNo = readField(InputBox::Text4);
    const QString cardPassword = readField(InputBox::Text5);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->Recharge(m_accountNo, cardNo, cardPassword, outcome));
    noticeOutcome(outcome, ConsoleTexts::RechargeSucceeded, ConsoleTexts::RechargeFailed);
    return showBalance();
}

Status Console::doSendMessage()
{
    m_accountNo = readField(InputBox::Text1);
    m_phoneNo = readField(InputBox::Text3);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(
        m_gateway->SendMessage(m_accountNo, m_phoneNo, ConsoleTexts::SendMessageText, outcome));
    noticeOutcome(outcome, ConsoleTexts::SendSucceeded, ConsoleTexts::SendFailed);
    return showBalance();
}

Status Console::doSendScheduledMessage()
{
    m_accountNo = readField(InputBox::Text1);
    m_phoneNo = readField(InputBox::Text3);
    // The clock is read before the gateway is created, so creating it does not shift
    // the send time.
    const QDateTime sendTime = m_clock().addSecs(ScheduleDelaySeconds);
    QUILLET_TRY(ensureGateway());
    const QString sendTimeText = sendTime.toString(ConsoleTexts::SendTimeFormat);
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->SendScheduledMessage(
        m_accountNo, m_phoneNo, ConsoleTexts::ScheduledMessageText, sendTimeText, outcome));
    noticeOutcome(outcome, ConsoleTexts::SendSucceeded, ConsoleTexts::SendFailed);
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

Status Console::doApplyForwarding()
{
    m_accountNo = readField(InputBox::Text1);
    m_phoneNo = readField(InputBox::Text3);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->SetForwarding(m_accountNo, m_phoneNo, outcome));
    noticeOutcome(outcome, ConsoleTexts::ForwardingSucceeded, ConsoleTexts::ForwardingFailed);
    return Status::ok();
}

Status Console::doCancelForwarding()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->CancelForwarding(m_accountNo, outcome));
    noticeOutcome(outcome, ConsoleTexts::ForwardingSucceeded, ConsoleTexts::ForwardingFailed);
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

Status Console::doApplyAutoReply()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->SetAutoReply(m_accountNo, ConsoleTexts::AutoReplyText, outcome));
    noticeOutcome(outcome, ConsoleTexts::AutoReplySucceeded, ConsoleTexts::AutoReplyFailed);
    return Status::ok();
}

Status Console::doCancelAutoReply()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->CancelAutoReply(m_accountNo, outcome));
    noticeOutcome(outcome, ConsoleTexts::CancelAutoReplySucceeded,
                  ConsoleTexts::CancelAutoReplyFailed);
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
