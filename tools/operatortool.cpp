#include "operatortool.h"

#include "inputrules.h"
#include "localgateway.h"
#include "tooltexts.h"

#include <QCommandLineParser>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

const QString StoreOption = u"store"_s;
const QString ValueOption = u"value"_s;
const QString CountOption = u"count"_s;
const QString FromOption = u"from"_s;
const QString ToOption = u"to"_s;
const QString ExtOption = u"ext"_s;
const QString HelpOption = u"help"_s;
const QString HandsetTimeFormat = u"yyyy-MM-dd HH:mm:ss"_s;

// The options each command takes, besides --store and --help.
QStringList optionsOf(const QString &command)
{
    if (command == u"card"_s)
        return { ValueOption, CountOption };
    if (command == u"mo"_s)
        return { FromOption, ToOption, ExtOption };
    return {};
}

} // namespace

OperatorTool::OperatorTool(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{
}

int OperatorTool::usageError(const QString &message)
{
    m_err << message << u'\n' << ToolTexts::usageHint() << Qt::endl;
    return Usage;
}

int OperatorTool::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({ StoreOption, QString(), u"path"_s });
    parser.addOption({ ValueOption, QString(), u"yuan"_s });
    parser.addOption({ CountOption, QString(), u"n"_s });
    parser.addOption({ FromOption, QString(), u"phone"_s });
    parser.addOption({ ToOption, QString(), u"account"_s });
    parser.addOption({ ExtOption, QString(), u"code"_s });
    parser.addOption({ { u"h"_s, HelpOption }, QString() });
    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return usageError(ToolTexts::unknownOptions(parser.unknownOptionNames()));
        return usageError(ToolTexts::badOptionUse(parser.errorText()));
    }
    if (parser.isSet(HelpOption)) {
        m_out << ToolTexts::help() << Qt::flush;
        return Success;
    }

    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usageError(ToolTexts::noCommand());
    const QString command = words.takeFirst();
    if (command != u"card"_s && command != u"mo"_s && command != u"handset"_s
        && command != u"accounts"_s)
        return usageError(ToolTexts::unknownCommand(command));
    const QStringList allowed = optionsOf(command);
    for (const QString &option : { ValueOption, CountOption, FromOption, ToOption, ExtOption }) {
        if (parser.isSet(option) && !allowed.contains(option))
            return usageError(ToolTexts::optionNotForCommand(option, command));
    }

    // Every argument is checked before the store is touched.
    qint64 valueFen = 0;
    int count = 1;
    QString phone;
    if (command == u"card"_s) {
        if (words.isEmpty() || words.first() != u"issue"_s)
            return usageError(words.isEmpty()
                                  ? ToolTexts::missingArgument(u"子命令 issue"_s)
                                  : ToolTexts::unknownCommand(u"card "_s + words.first()));
        words.removeFirst();
        if (!parser.isSet(ValueOption))
            return usageError(ToolTexts::missingOption(ValueOption));
        const QString value = parser.value(ValueOption);
        if (!LocalGateway::parseYuan(value, valueFen) || valueFen <= 0
            || valueFen > LocalGateway::MaxCardValueFen)
            return usageError(ToolTexts::badValue(
                value, LocalGateway::formatYuan(LocalGateway::MaxCardValueFen)));
        if (parser.isSet(CountOption)) {
            bool numeric = false;
            count = parser.value(CountOption).toInt(&numeric);
            if (!numeric || count < 1 || count > LocalGateway::MaxCardsPerIssue)
                return usageError(
                    ToolTexts::badCount(parser.value(CountOption), LocalGateway::MaxCardsPerIssue));
        }
    } else if (command == u"mo"_s) {
        for (const QString &option : { FromOption, ToOption }) {
            if (!parser.isSet(option))
                return usageError(ToolTexts::missingOption(option));
        }
        if (!InputRules::isPhone(parser.value(FromOption)))
            return usageError(ToolTexts::badPhone(parser.value(FromOption)));
        if (parser.isSet(ExtOption) && !InputRules::isExtension(parser.value(ExtOption)))
            return usageError(ToolTexts::badExtension(parser.value(ExtOption)));
        if (words.isEmpty())
            return usageError(ToolTexts::missingArgument(u"短信内容"_s));
        if (!InputRules::isMessageText(words.first()))
            return usageError(ToolTexts::badText());
    } else if (command == u"handset"_s) {
        if (words.isEmpty())
            return usageError(ToolTexts::missingArgument(u"手机号"_s));
        phone = words.takeFirst();
        if (!InputRules::isPhone(phone))
            return usageError(ToolTexts::badPhone(phone));
    }
    if (command == u"mo"_s)
        words.removeFirst();
    if (!words.isEmpty())
        return usageError(ToolTexts::extraArguments(words));

    QString storePath = Store::defaultPath();
    if (parser.isSet(StoreOption)) {
        storePath = parser.value(StoreOption);
        if (storePath.isEmpty())
            return usageError(ToolTexts::noStorePath());
    }

    std::unique_ptr<LocalGateway> gateway;
    Status status = LocalGateway::open(storePath, gateway);
    if (status.isOk() && command == u"card"_s) {
        QList<LocalGateway::IssuedCard> cards;
        status = gateway->issueCards(valueFen, count, cards);
        if (status.isOk()) {
            m_out << ToolTexts::cardHeader() << u'\n';
            for (const auto &card : std::as_const(cards))
                m_out << ToolTexts::cardLine(card.number, card.password,
                                             LocalGateway::formatYuan(card.valueFen))
                      << u'\n';
            m_out << ToolTexts::cardsIssued(cards.size()) << Qt::endl;
        }
    } else if (status.isOk() && command == u"mo"_s) {
        const QString from = parser.value(FromOption);
        const QString to = parser.value(ToOption);
        const QString text = parser.positionalArguments().value(1);
        LocalGateway::MoReport report;
        status = gateway->receiveFromHandset(from, to, parser.value(ExtOption), text, report);
        if (status.isOk()) {
            if (report.outcome != LocalGateway::MoOutcome::Arrived) {
                m_err << ToolTexts::unknownAccount(to) << Qt::endl;
                return Failed;
            }
            using RS = LocalGateway::ReplyState;
            m_out << ToolTexts::moArrived(report.accountNo, report.serviceNumber) << u'\n';
            if (report.forwarded == RS::Delivered)
                m_out << ToolTexts::forwardDelivered(report.forwardingPhone) << u'\n';
            else if (report.forwarded == RS::NotSentBalance)
                m_out << ToolTexts::forwardNotSentBalance(report.forwardingPhone) << u'\n';
            else if (report.forwarded == RS::NotSentTooLong)
                m_out << ToolTexts::forwardNotSentTooLong(report.forwardingPhone) << u'\n';
            if (report.autoReplied == RS::Delivered)
                m_out << ToolTexts::replyDelivered(from) << u'\n';
            else if (report.autoReplied == RS::NotSentBalance)
                m_out << ToolTexts::replyNotSentBalance(from) << u'\n';
            else if (report.autoReplied == RS::NotSentTooLong)
                m_out << ToolTexts::replyNotSentTooLong(from) << u'\n';
            m_out << Qt::flush;
        }
    } else if (status.isOk() && command == u"handset"_s) {
        QList<LocalGateway::HandsetMessage> messages;
        status = gateway->handsetMessages(phone, messages);
        if (status.isOk()) {
            if (messages.isEmpty())
                m_out << ToolTexts::handsetEmpty(phone) << u'\n';
            else
                m_out << ToolTexts::handsetHeader(phone, messages.size()) << u'\n';
            for (const auto &message : std::as_const(messages))
                m_out << ToolTexts::handsetLine(message.deliveredAt.toString(HandsetTimeFormat),
                                                message.from, message.text)
                      << u'\n';
            m_out << Qt::flush;
        }
    } else if (status.isOk() && command == u"accounts"_s) {
        QList<LocalGateway::AccountSummary> list;
        status = gateway->accounts(list);
        if (status.isOk()) {
            if (list.isEmpty())
                m_out << ToolTexts::noAccounts() << u'\n';
            else
                m_out << ToolTexts::accountsHeader() << u'\n';
            for (const auto &a : std::as_const(list))
                m_out << ToolTexts::accountLine(a.number, a.serviceNumber, a.mobile,
                                                LocalGateway::formatYuan(a.balanceFen), a.signedOn,
                                                a.forwardingPhone, a.autoReply, a.waiting)
                      << u'\n';
            m_out << Qt::flush;
        }
    }
    if (status.failed()) {
        m_err << status.description() << Qt::endl;
        return Failed;
    }
    return Success;
}
