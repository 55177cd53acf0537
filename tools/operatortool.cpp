#include "operatortool.h"

#include "inputrules.h"
#include "localgateway.h"
#include "tooltexts.h"

#include <QCommandLineParser>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

using namespace ToolTexts;

// The options a command takes, besides --store and --help.
QStringList optionsOf(const QString &command)
{
    if (command == CardWord)
        return { ValueOption, CountOption };
    if (command == MoWord)
        return { FromOption, ToOption, ExtOption };
    return {};
}

ParseResult usage(const QString &message)
{
    return { std::nullopt, message };
}

ParseResult parsed(ToolAction action)
{
    return { ToolCommand { std::move(action), std::nullopt }, QString() };
}

ParseResult parseCardIssue(const QCommandLineParser &parser, QStringList &words)
{
    if (words.isEmpty())
        return usage(missingArgument(IssueSubcommand));
    if (words.first() != IssueWord)
        return usage(unknownCommand(CardWord + u' ' + words.first()));
    words.removeFirst();
    if (!parser.isSet(ValueOption))
        return usage(missingOption(ValueOption));
    CardIssueCommand command;
    const QString value = parser.value(ValueOption);
    if (!LocalGateway::parseYuan(value, command.valueFen) || command.valueFen <= 0
        || command.valueFen > LocalGateway::MaxCardValueFen)
        return usage(badValue(value, LocalGateway::formatYuan(LocalGateway::MaxCardValueFen)));
    if (parser.isSet(CountOption)) {
        bool numeric = false;
        command.count = parser.value(CountOption).toInt(&numeric);
        if (!numeric || command.count < 1 || command.count > LocalGateway::MaxCardsPerIssue)
            return usage(badCount(parser.value(CountOption), LocalGateway::MaxCardsPerIssue));
    }
    return parsed(command);
}

ParseResult parseMo(const QCommandLineParser &parser, QStringList &words)
{
    for (const QString &option : { FromOption, ToOption }) {
        if (!parser.isSet(option))
            return usage(missingOption(option));
    }
    MoCommand command;
    command.from = parser.value(FromOption);
    command.to = parser.value(ToOption);
    command.extension = parser.value(ExtOption);
    if (!InputRules::isPhone(command.from))
        return usage(badPhone(command.from));
    if (parser.isSet(ExtOption) && !InputRules::isExtension(command.extension))
        return usage(badExtension(command.extension));
    if (words.isEmpty())
        return usage(missingArgument(MessageText));
    command.text = words.takeFirst();
    if (!InputRules::isMessageText(command.text))
        return usage(BadText);
    return parsed(command);
}

ParseResult parseHandset(QStringList &words)
{
    if (words.isEmpty())
        return usage(missingArgument(Phone));
    HandsetCommand command { words.takeFirst() };
    if (!InputRules::isPhone(command.phone))
        return usage(badPhone(command.phone));
    return parsed(command);
}

} // namespace

OperatorTool::OperatorTool(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{
}

ParseResult OperatorTool::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({ StoreOption, QString(), StoreValueName });
    parser.addOption({ ValueOption, QString(), ValueValueName });
    parser.addOption({ CountOption, QString(), CountValueName });
    parser.addOption({ FromOption, QString(), FromValueName });
    parser.addOption({ ToOption, QString(), ToValueName });
    parser.addOption({ ExtOption, QString(), ExtValueName });
    parser.addOption({ { HelpShortOption, HelpOption }, QString() });
    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return usage(unknownOptions(parser.unknownOptionNames()));
        return usage(badOptionUse(parser.errorText()));
    }
    if (parser.isSet(HelpOption))
        return parsed(HelpCommand());

    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usage(NoCommand);
    const QString command = words.takeFirst();
    if (command != CardWord && command != MoWord && command != HandsetWord
        && command != AccountsWord)
        return usage(unknownCommand(command));
    const QStringList allowed = optionsOf(command);
    for (const QString &option : { ValueOption, CountOption, FromOption, ToOption, ExtOption }) {
        if (parser.isSet(option) && !allowed.contains(option))
            return usage(optionNotForCommand(option, command));
    }

    ParseResult result = parsed(AccountsCommand());
    if (command == CardWord)
        result = parseCardIssue(parser, words);
    else if (command == MoWord)
        result = parseMo(parser, words);
    else if (command == HandsetWord)
        result = parseHandset(words);
    if (!result.command)
        return result;
    if (!words.isEmpty())
        return usage(extraArguments(words));

    if (parser.isSet(StoreOption)) {
        result.command->storePath = parser.value(StoreOption);
        if (result.command->storePath->isEmpty())
            return usage(NoStorePath);
    }
    return result;
}

int OperatorTool::run(const QStringList &arguments)
{
    const ParseResult parsed = parse(arguments);
    if (!parsed.command)
        return usageError(parsed.usageError);
    const ToolCommand &command = *parsed.command;
    if (std::holds_alternative<HelpCommand>(command.action))
        return showHelp();

    std::unique_ptr<LocalGateway> gateway;
    const Status opened
        = LocalGateway::open(command.storePath.value_or(Store::defaultPath()), gateway);
    if (opened.failed())
        return failed(opened.description());
    if (const auto *card = std::get_if<CardIssueCommand>(&command.action))
        return issueCards(*gateway, *card);
    if (const auto *mo = std::get_if<MoCommand>(&command.action))
        return arriveFromHandset(*gateway, *mo);
    if (const auto *handset = std::get_if<HandsetCommand>(&command.action))
        return listHandset(*gateway, *handset);
    return listAccounts(*gateway);
}

int OperatorTool::usageError(const QString &message)
{
    m_err << message << u'\n' << UsageHint << Qt::endl;
    return Usage;
}

int OperatorTool::failed(const QString &description)
{
    m_err << description << Qt::endl;
    return Failed;
}

int OperatorTool::showHelp()
{
    m_out << Help << Qt::flush;
    return Success;
}

int OperatorTool::issueCards(LocalGateway &gateway, const CardIssueCommand &command)
{
    QList<LocalGateway::IssuedCard> cards;
    const Status status = gateway.issueCards(command.valueFen, command.count, cards);
    if (status.failed())
        return failed(status.description());
    m_out << CardHeader << u'\n';
    for (const auto &card : std::as_const(cards))
        m_out << cardLine(card.number, card.password, LocalGateway::formatYuan(card.valueFen))
              << u'\n';
    m_out << cardsIssued(cards.size()) << Qt::endl;
    return Success;
}

int OperatorTool::arriveFromHandset(LocalGateway &gateway, const MoCommand &command)
{
    LocalGateway::MoReport report;
    const Status status = gateway.receiveFromHandset(command.from, command.to, command.extension,
                                                     command.text, report);
    if (status.failed())
        return failed(status.description());
    if (report.outcome != LocalGateway::MoOutcome::Arrived)
        return failed(unknownAccount(command.to));

    using RS = LocalGateway::ReplyState;
    m_out << moArrived(report.accountNo, report.serviceNumber) << u'\n';
    if (report.forwarded == RS::Delivered)
        m_out << forwardDelivered(report.forwardingPhone) << u'\n';
    else if (report.forwarded == RS::NotSentBalance)
        m_out << forwardNotSentBalance(report.forwardingPhone) << u'\n';
    else if (report.forwarded == RS::NotSentTooLong)
        m_out << forwardNotSentTooLong(report.forwardingPhone) << u'\n';
    if (report.autoReplied == RS::Delivered)
        m_out << replyDelivered(command.from) << u'\n';
    else if (report.autoReplied == RS::NotSentBalance)
        m_out << replyNotSentBalance(command.from) << u'\n';
    else if (report.autoReplied == RS::NotSentTooLong)
        m_out << replyNotSentTooLong(command.from) << u'\n';
    m_out << Qt::flush;
    return Success;
}

int OperatorTool::listHandset(LocalGateway &gateway, const HandsetCommand &command)
{
    QList<LocalGateway::HandsetMessage> messages;
    const Status status = gateway.handsetMessages(command.phone, messages);
    if (status.failed())
        return failed(status.description());
    if (messages.isEmpty())
        m_out << handsetEmpty(command.phone) << u'\n';
    else
        m_out << handsetHeader(command.phone, messages.size()) << u'\n';
    for (const auto &message : std::as_const(messages))
        m_out << handsetLine(message.deliveredAt.toString(HandsetTimeFormat), message.from,
                             message.text)
              << u'\n';
    m_out << Qt::flush;
    return Success;
}

int OperatorTool::listAccounts(LocalGateway &gateway)
{
    QList<LocalGateway::AccountSummary> list;
    const Status status = gateway.accounts(list);
    if (status.failed())
        return failed(status.description());
    m_out << (list.isEmpty() ? NoAccounts : AccountsHeader) << u'\n';
    for (const auto &a : std::as_const(list))
        m_out << accountLine(a.number, a.serviceNumber, a.mobile,
                             LocalGateway::formatYuan(a.balanceFen), a.signedOn, a.forwardingPhone,
                             a.autoReply, a.waiting)
              << u'\n';
    m_out << Qt::flush;
    return Success;
}
