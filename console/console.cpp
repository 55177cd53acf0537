#include "console.h"

#include "consoletexts.h"
#include "gatewayloader.h"
#include "gatewaytexts.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

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

// The longest prefix of text[from..] that is a decimal number without sign:
// digits, an optional fraction, an optional exponent. Returns its end (== from when
// there is no number) and copies it as ASCII into number.
qsizetype scanUnsignedNumber(const QString &text, qsizetype from, std::string &number)
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
    number = text.mid(from, i - from).toStdString();
    return i;
}

// The value of an unsigned decimal number text; out-of-range values go to infinity or
// zero, as their magnitude says.
double unsignedNumberValue(const std::string &number)
{
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                              std::chars_format::general);
    Q_UNUSED(end);
    if (error != std::errc::result_out_of_range)
        return value;
    // Out of range: decide between overflow and underflow by the decimal exponent of
    // the first significant digit.
    long long exponent = 0;
    const auto e = number.find_first_of("eE");
    if (e != std::string::npos) {
        const char *from = number.data() + e + 1;
        if (*from == '+')
            ++from;
        if (std::from_chars(from, number.data() + number.size(), exponent).ec != std::errc())
            exponent = (*from == '-') ? std::numeric_limits<long long>::min() / 2
                                      : std::numeric_limits<long long>::max() / 2;
    }
    const std::string mantissa = number.substr(0, e);
    const auto point = mantissa.find('.');
    const std::string whole = mantissa.substr(0, point);
    const auto firstSignificant = whole.find_first_not_of('0');
    long long magnitude = 0;
    if (firstSignificant != std::string::npos) {
        magnitude = static_cast<long long>(whole.size() - firstSignificant);
    } else if (point != std::string::npos) {
        const std::string fraction = mantissa.substr(point + 1);
        const auto nonZero = fraction.find_first_not_of('0');
        magnitude = nonZero == std::string::npos ? std::numeric_limits<long long>::min() / 2
                                                 : -static_cast<long long>(nonZero);
    }
    return magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
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

void Console::run(Status (Console::*command)())
{
    const Status status = (this->*command)();
    if (status.failed())
        m_view.reportError(status);
}

Status Console::noticeOutcome(Bool16 outcome, const QString &succeeded, const QString &failed)
{
    m_lastResult = outcome;
    showNotice(m_lastResult == True16 ? succeeded : failed);
    return Status::ok();
}

// --- the commands ----------------------------------------------------------------------

void Console::registerAccount()
{
    run(&Console::doRegister);
}
void Console::deregister()
{
    run(&Console::doDeregister);
}
void Console::queryBalance()
{
    run(&Console::doQueryBalance);
}
void Console::sendMessage()
{
    run(&Console::doSendMessage);
}
void Console::recharge()
{
    run(&Console::doRecharge);
}
void Console::sendScheduledMessage()
{
    run(&Console::doSendScheduledMessage);
}
void Console::receiveMessages()
{
    run(&Console::doReceiveMessages);
}
void Console::applyForwarding()
{
    run(&Console::doApplyForwarding);
}
void Console::cancelForwarding()
{
    run(&Console::doCancelForwarding);
}
void Console::getForwarding()
{
    run(&Console::doGetForwarding);
}
void Console::applyAutoReply()
{
    run(&Console::doApplyAutoReply);
}
void Console::cancelAutoReply()
{
    run(&Console::doCancelAutoReply);
}
void Console::getAutoReply()
{
    run(&Console::doGetAutoReply);
}
void Console::changePassword()
{
    run(&Console::doChangePassword);
}
void Console::receiveMessagesNet()
{
    run(&Console::doReceiveMessagesNet);
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
    return noticeOutcome(outcome, ConsoleTexts::RegisterSucceeded, ConsoleTexts::RegisterFailed);
}

Status Console::doDeregister()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->Deregister(m_accountNo, outcome));
    return noticeOutcome(outcome, ConsoleTexts::DeregisterSucceeded,
                         ConsoleTexts::DeregisterFailed);
}

Status Console::doChangePassword()
{
    m_accountNo = readField(InputBox::Text1);
    const QString newPassword = readField(InputBox::Text6);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->ChangePassword(m_accountNo, newPassword, outcome));
    return noticeOutcome(outcome, ConsoleTexts::ChangePasswordSucceeded,
                         ConsoleTexts::ChangePasswordFailed);
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
    QUILLET_TRY(
        noticeOutcome(outcome, ConsoleTexts::RechargeSucceeded, ConsoleTexts::RechargeFailed));
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
    QUILLET_TRY(noticeOutcome(outcome, ConsoleTexts::SendSucceeded, ConsoleTexts::SendFailed));
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
    QUILLET_TRY(noticeOutcome(outcome, ConsoleTexts::SendSucceeded, ConsoleTexts::SendFailed));
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
            const TextTable *table = nullptr;
            QUILLET_TRY(messages.toTable(table));
            QString field;
            for (qsizetype m = 0; static_cast<double>(m) <= currentCount - 1; ++m) {
                for (qsizetype f = 0; f < FieldCount; ++f) {
                    QUILLET_TRY(table->at(m, f, field));
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
    return noticeOutcome(outcome, ConsoleTexts::ForwardingSucceeded,
                         ConsoleTexts::ForwardingFailed);
}

Status Console::doCancelForwarding()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->CancelForwarding(m_accountNo, outcome));
    return noticeOutcome(outcome, ConsoleTexts::ForwardingSucceeded,
                         ConsoleTexts::ForwardingFailed);
}

Status Console::doGetForwarding()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
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
    return noticeOutcome(outcome, ConsoleTexts::AutoReplySucceeded, ConsoleTexts::AutoReplyFailed);
}

Status Console::doCancelAutoReply()
{
    m_accountNo = readField(InputBox::Text1);
    QUILLET_TRY(ensureGateway());
    Bool16 outcome = False16;
    QUILLET_TRY(m_gateway->CancelAutoReply(m_accountNo, outcome));
    return noticeOutcome(outcome, ConsoleTexts::CancelAutoReplySucceeded,
                         ConsoleTexts::CancelAutoReplyFailed);
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
    std::string number;
    if (scanUnsignedNumber(text, i, number) == i)
        return 0.0;
    const double value = unsignedNumberValue(number);
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
    std::string number;
    const qsizetype end = scanUnsignedNumber(trimmed, i, number);
    if (end > i && end == trimmed.size())
        return unsignedNumberValue(number) != 0.0 ? True16 : False16;
    // Any other text, such as a landline number with its area code, is a forwarding
    // number to show.
    return True16;
}
