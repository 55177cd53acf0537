#include "tools/operatortool.h"

#include "gateway/local/inputrules.h"
#include "gateway/local/localbackend.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/sendtime.h"
#include "gateway/local/smppaccounts.h"
#include "gateway/operatorbackend.h"
#include "gateway/tokendesk.h"
#include "tools/controlescape.h"
#include "tools/remotebackend.h"
#include "tools/storebackup.h"
#include "tools/tooltexts.h"

#include <QCommandLineParser>
#include <QFileDevice>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextStream>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

using namespace ToolTexts;

// The options a command takes, besides --store and --help.
QStringList optionsOf(const QString &command)
{
    if (command == CardWord)
        return { ValueOption, CountOption };
    if (command == MoWord)
        return { FromOption, ToOption, ExtOption, CountOption };
    if (command == MessagesWord)
        return { AccountOption, StateOption, SinceOption };
    if (command == UnmatchedWord)
        return { ThroughOption };
    if (command == CallbacksWord)
        return { DeadOption, AllOption };
    if (command == TokenWord)
        return { NameOption, RoleOption, AccountOption };
    if (command == SmppWord)
        return { AccountOption, SystemIdOption };
    return {};
}

// The options only some commands take.
const QStringList CommandOptions = { ValueOption,   CountOption,   FromOption,  ToOption,
                                     ExtOption,     AccountOption, StateOption, SinceOption,
                                     ThroughOption, DeadOption,    AllOption,   NameOption,
                                     RoleOption,    SystemIdOption };

// Of those, the ones that take no value.
const QStringList FlagOptions = { DeadOption, AllOption };

const QStringList ValueOptions = [] {
    QStringList options { StoreOption, ServerOption, TokenFileOption, CaFileOption };
    for (const QString &option : CommandOptions) {
        if (!FlagOptions.contains(option))
            options.append(option);
    }
    return options;
}();

// The first option word written with a single dash ("-store"), read the way the parser
// reads the arguments: option values and everything after "--" are not option words.
// A single-dash word is never taken for the long option it resembles.
QString singleDashWord(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == u"--"_s)
            break;
        if (argument.startsWith(u"--"_s)) {
            const QString name = argument.mid(2).section(u'=', 0, 0);
            if (!argument.contains(u'=') && ValueOptions.contains(name))
                ++i;
        } else if (argument.startsWith(u'-') && argument.size() > 2) {
            return argument;
        }
    }
    return {};
}

// A store path must name a file: "dir/", "." or ".." name a folder.
bool namesAFolder(const QString &path)
{
    const QString last = path.section(u'/', -1);
    return last.isEmpty() || last == u"."_s || last == u".."_s;
}

ParseResult usage(const QString &message)
{
    return { std::nullopt, message };
}

ParseResult parsed(ToolAction action)
{
    return { ToolCommand { std::move(action), std::nullopt, std::nullopt }, QString() };
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
    if (parser.isSet(CountOption)) {
        bool numeric = false;
        const QString value = parser.value(CountOption);
        command.count = value.toLongLong(&numeric);
        if (!numeric || *command.count < 1 || *command.count > LocalGateway::MaxBulkArrivals)
            return usage(badArrivalCount(value, LocalGateway::MaxBulkArrivals));
    }
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

ParseResult parseMessages(const QCommandLineParser &parser)
{
    MessagesCommand command;
    Operator::MessageFilter &filter = command.filter;
    if (parser.isSet(AccountOption)) {
        filter.accountNo = parser.value(AccountOption);
        if (!InputRules::isAccountNumber(filter.accountNo))
            return usage(badAccount(filter.accountNo));
    }
    if (parser.isSet(StateOption)) {
        filter.state = parser.value(StateOption);
        if (!Operator::messageStates().contains(filter.state)) {
            QStringList states;
            for (const QLatin1StringView state : Operator::messageStates())
                states.append(state);
            return usage(badState(filter.state, states));
        }
    }
    if (parser.isSet(SinceOption)) {
        const QString text = parser.value(SinceOption);
        const QDateTime since = SendTime::parse(text);
        const qint64 ms = since.isValid() ? since.toMSecsSinceEpoch() : -1;
        if (ms < 0 || ms > Operator::LatestTimeMs)
            return usage(badTime(text));
        filter.sinceMs = ms;
    }
    return parsed(command);
}

// `unmatched`, or `unmatched clear --through ID`.
ParseResult parseUnmatched(const QCommandLineParser &parser, QStringList &words)
{
    UnmatchedCommand command;
    if (words.isEmpty() || words.first() != ClearWord) {
        if (parser.isSet(ThroughOption))
            return usage(optionNotForCommand(ThroughOption, UnmatchedWord));
        return parsed(command);
    }
    words.removeFirst();
    if (!parser.isSet(ThroughOption))
        return usage(missingOption(ThroughOption));
    bool numeric = false;
    const QString value = parser.value(ThroughOption);
    command.clearThroughId = value.toLongLong(&numeric);
    if (!numeric || *command.clearThroughId < 1)
        return usage(badEntryId(value));
    return parsed(command);
}

// `callbacks [--dead]`, or `callbacks replay ID|--all`.
ParseResult parseCallbacks(const QCommandLineParser &parser, QStringList &words)
{
    CallbacksCommand command;
    if (words.isEmpty() || words.first() != ReplayWord) {
        if (parser.isSet(AllOption))
            return usage(optionNotForCommand(AllOption, CallbacksWord));
        command.deadOnly = parser.isSet(DeadOption);
        return parsed(command);
    }
    words.removeFirst();
    if (parser.isSet(DeadOption))
        return usage(optionNotForCommand(DeadOption, CallbacksWord + u' ' + ReplayWord));
    if (parser.isSet(AllOption) == !words.isEmpty())
        return usage(replayNeedsOne());
    if (parser.isSet(AllOption)) {
        command.replay = 0;
        return parsed(command);
    }
    bool numeric = false;
    const QString value = words.takeFirst();
    command.replay = value.toLongLong(&numeric);
    if (!numeric || *command.replay < 1)
        return usage(badEntryId(value));
    return parsed(command);
}

// `token issue --role R --name N [--account A]`, `token revoke --name N`, `token list`,
// read as quillet-gatewayd reads them. Which roles the service issues is the service's to
// say: the role is passed on as typed, once it is one of the three.
ParseResult parseToken(const QCommandLineParser &parser, QStringList &words)
{
    if (words.isEmpty())
        return usage(missingArgument(TokenSubcommand));
    const QString action = words.takeFirst();
    TokenCommand command;
    if (action == ListWord) {
        for (const QString &option : { NameOption, RoleOption, AccountOption }) {
            if (parser.isSet(option))
                return usage(optionNotForCommand(option, TokenWord + u' ' + ListWord));
        }
        return parsed(command);
    }
    if (action != IssueWord && action != RevokeWord)
        return usage(unknownCommand(TokenWord + u' ' + action));
    command.name = parser.value(NameOption);
    if (!parser.isSet(NameOption))
        return usage(missingOption(NameOption));
    if (command.name.isEmpty() || command.name.size() > 64
        || !std::all_of(command.name.cbegin(), command.name.cend(),
                        [](QChar c) { return c.isPrint(); })
        || !QStringView(command.name).isValidUtf16())
        return usage(badTokenName());
    if (action == RevokeWord) {
        for (const QString &option : { RoleOption, AccountOption }) {
            if (parser.isSet(option))
                return usage(optionNotForCommand(option, TokenWord + u' ' + RevokeWord));
        }
        command.action = TokenCommand::Action::Revoke;
        return parsed(command);
    }
    command.action = TokenCommand::Action::Issue;
    command.role = parser.value(RoleOption);
    if (!parser.isSet(RoleOption))
        return usage(missingOption(RoleOption));
    if (command.role != ConsoleRole && command.role != OperatorRole
        && command.role != ApplicationRole)
        return usage(badRole());
    const bool bound = command.role == ApplicationRole;
    if (bound != parser.isSet(AccountOption))
        return usage(bound ? applicationNeedsAccount() : accountOnlyForApplication());
    command.accountNo = parser.value(AccountOption);
    if (bound && !InputRules::isAccountNumber(command.accountNo))
        return usage(badAccount(command.accountNo));
    return parsed(command);
}

// `smpp set --account ACC [--system-id ID]`, `smpp revoke --account ACC`, `smpp binds`.
ParseResult parseSmpp(const QCommandLineParser &parser, QStringList &words)
{
    SmppCommand command;
    const QString word = words.isEmpty() ? QString() : words.takeFirst();
    const QString named = SmppWord + u' ' + word;
    if (word == BindsWord) {
        for (const QString &option : { AccountOption, SystemIdOption }) {
            if (parser.isSet(option))
                return usage(optionNotForCommand(option, named));
        }
        return parsed(command);
    }
    if (word == SetWord)
        command.kind = SmppCommand::Kind::Set;
    else if (word == RevokeWord)
        command.kind = SmppCommand::Kind::Revoke;
    else if (word.isEmpty())
        return usage(smppNeedsWord());
    else
        return usage(unknownCommand(named));
    if (!parser.isSet(AccountOption))
        return usage(missingOption(AccountOption));
    command.accountNo = parser.value(AccountOption);
    if (!InputRules::isAccountNumber(command.accountNo))
        return usage(badAccount(command.accountNo));
    if (parser.isSet(SystemIdOption)) {
        if (command.kind != SmppCommand::Kind::Set)
            return usage(optionNotForCommand(SystemIdOption, named));
        command.systemId = parser.value(SystemIdOption);
        if (!SmppAccounts::isSystemId(command.systemId))
            return usage(badSystemId(command.systemId));
    }
    return parsed(command);
}

// Why the gateway did not take an arrival; empty when it arrived.
QString refusal(LocalGateway::MoOutcome outcome, const MoCommand &command)
{
    switch (outcome) {
    case LocalGateway::MoOutcome::Arrived:
        break;
    case LocalGateway::MoOutcome::BadSender:
        return badPhone(command.from);
    case LocalGateway::MoOutcome::BadExtension:
        return badExtension(command.extension);
    case LocalGateway::MoOutcome::BadText:
        return BadText;
    case LocalGateway::MoOutcome::UnknownAccount:
        return unknownAccount(command.to);
    }
    return {};
}

// Where the work goes: --server with its token file, or --store; the usage error, if any.
QString parseTarget(const QCommandLineParser &parser, ToolCommand &command)
{
    if (parser.isSet(ServerOption)) {
        // Both work on the store's own file or database, which the service does not lend.
        if (std::holds_alternative<InitCommand>(command.action))
            return optionNotForCommand(ServerOption, InitWord);
        if (std::holds_alternative<BackupCommand>(command.action))
            return optionNotForCommand(ServerOption, BackupWord);
        if (parser.isSet(StoreOption))
            return optionsExclusive(ServerOption, StoreOption);
        if (!parser.isSet(TokenFileOption))
            return missingOption(TokenFileOption);
        for (const QString &option : { ServerOption, TokenFileOption }) {
            if (parser.value(option).isEmpty())
                return emptyOptionValue(option);
        }
        if (parser.isSet(CaFileOption) && parser.value(CaFileOption).isEmpty())
            return emptyOptionValue(CaFileOption);
        command.server = ServerTarget { parser.value(ServerOption), parser.value(TokenFileOption),
                                        parser.value(CaFileOption) };
        return {};
    }
    for (const QString &option : { TokenFileOption, CaFileOption }) {
        if (parser.isSet(option))
            return optionNeeds(option, ServerOption);
    }
    // No store has them: the service keeps its tokens in tables of its own.
    if (std::holds_alternative<TokenCommand>(command.action))
        return tokensNeedServer();
    if (parser.isSet(StoreOption)) {
        command.storePath = parser.value(StoreOption);
        if (command.storePath->isEmpty())
            return NoStorePath;
        StoreLocation location;
        // The refusal shows what was typed: escaped, like every outside text shown.
        if (const Status bad = StoreLocation::parse(*command.storePath, location); bad.failed())
            return escapeControls(bad.description());
        if (location.isFile() && namesAFolder(location.path))
            return storePathIsFolder(escapeControls(location.path));
    }
    return {};
}

} // namespace

OperatorTool::OperatorTool(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{
}

ParseResult OperatorTool::parse(const QStringList &arguments)
{
    if (const QString word = singleDashWord(arguments); !word.isEmpty())
        return usage(singleDashOption(word));
    QCommandLineParser parser;
    parser.addOption({ StoreOption, QString(), StoreValueName });
    parser.addOption({ ServerOption, QString(), ServerValueName });
    parser.addOption({ TokenFileOption, QString(), FileValueName });
    parser.addOption({ CaFileOption, QString(), FileValueName });
    parser.addOption({ ValueOption, QString(), ValueValueName });
    parser.addOption({ CountOption, QString(), CountValueName });
    parser.addOption({ FromOption, QString(), FromValueName });
    parser.addOption({ ToOption, QString(), ToValueName });
    parser.addOption({ ExtOption, QString(), ExtValueName });
    parser.addOption({ AccountOption, QString(), AccountValueName });
    parser.addOption({ StateOption, QString(), StateValueName });
    parser.addOption({ SinceOption, QString(), SinceValueName });
    parser.addOption({ ThroughOption, QString(), ThroughValueName });
    parser.addOption({ DeadOption, QString() });
    parser.addOption({ AllOption, QString() });
    parser.addOption({ NameOption, QString(), NameValueName });
    parser.addOption({ RoleOption, QString(), RoleValueName });
    parser.addOption({ SystemIdOption, QString(), SystemIdValueName });
    parser.addOption({ { HelpShortOption, HelpOption }, QString() });
    parser.addOption({ VersionOption, QString() });
    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return usage(unknownOptions(parser.unknownOptionNames()));
        return usage(badOptionUse(parser.errorText()));
    }
    for (const QString &option : ValueOptions) {
        if (parser.values(option).size() > 1)
            return usage(repeatedOption(option));
    }
    if (parser.isSet(HelpOption))
        return parsed(HelpCommand());
    if (parser.isSet(VersionOption))
        return parsed(VersionCommand());

    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usage(NoCommand);
    const QString command = words.takeFirst();
    static const QStringList commands { CardWord,     MoWord,    HandsetWord,   AccountsWord,
                                        MessagesWord, LinksWord, UnmatchedWord, CallbacksWord,
                                        TokenWord,    SmppWord,  InitWord,      BackupWord };
    if (!commands.contains(command))
        return usage(unknownCommand(command));
    const QStringList allowed = optionsOf(command);
    for (const QString &option : CommandOptions) {
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
    else if (command == MessagesWord)
        result = parseMessages(parser);
    else if (command == LinksWord)
        result = parsed(LinksCommand());
    else if (command == UnmatchedWord)
        result = parseUnmatched(parser, words);
    else if (command == CallbacksWord)
        result = parseCallbacks(parser, words);
    else if (command == TokenWord)
        result = parseToken(parser, words);
    else if (command == SmppWord)
        result = parseSmpp(parser, words);
    else if (command == InitWord)
        result = parsed(InitCommand());
    else if (command == BackupWord)
        result = words.isEmpty() || words.constFirst().isEmpty()
            ? usage(missingArgument(BackupFile))
            : parsed(BackupCommand { words.takeFirst() });
    if (!result.command)
        return result;
    if (!words.isEmpty())
        return usage(extraArguments(words));

    if (const QString wrong = parseTarget(parser, *result.command); !wrong.isEmpty())
        return usage(wrong);
    return result;
}

ParseResult OperatorTool::parse(const QByteArrayList &argv)
{
    QStringList arguments;
    arguments.reserve(argv.size());
    // The program name is only ever shown, never used as data.
    if (!argv.isEmpty())
        arguments.append(QString::fromLocal8Bit(argv.first()));
    for (qsizetype i = 1; i < argv.size(); ++i) {
        QStringDecoder decoder(QStringConverter::Utf8,
                               QStringConverter::Flag::Stateless
                                   | QStringConverter::Flag::ConvertInitialBom);
        QString argument = decoder.decode(argv.at(i));
        if (decoder.hasError())
            return usage(notUtf8(i));
        arguments.append(std::move(argument));
    }
    return parse(arguments);
}

int OperatorTool::run(const QStringList &arguments)
{
    return execute(parse(arguments));
}

int OperatorTool::run(const QByteArrayList &argv)
{
    return execute(parse(argv));
}

int OperatorTool::execute(const ParseResult &parsed)
{
    if (!parsed.command)
        return usageError(parsed.usageError);
    const ToolCommand &command = *parsed.command;
    if (std::holds_alternative<HelpCommand>(command.action))
        return showHelp();
    if (std::holds_alternative<VersionCommand>(command.action))
        return showVersion();
    if (const auto *backup = std::get_if<BackupCommand>(&command.action))
        return backUpStore(command, *backup);

    if (std::holds_alternative<InitCommand>(command.action))
        return initializeStore(command);
    if (const auto *token = std::get_if<TokenCommand>(&command.action)) {
        // parse() gave a usage error for one without a server.
        Q_ASSERT(command.server);
        if (!command.server)
            return Failed;
        const std::unique_ptr<RemoteBackend> remote = openRemote(*command.server);
        return remote ? manageTokens(*remote, *token) : Failed;
    }
    const std::unique_ptr<OperatorBackend> gateway = openBackend(command);
    if (!gateway)
        return Failed;
    if (const auto *card = std::get_if<CardIssueCommand>(&command.action))
        return issueCards(*gateway, *card);
    if (const auto *mo = std::get_if<MoCommand>(&command.action))
        return arriveFromHandset(*gateway, *mo);
    if (const auto *handset = std::get_if<HandsetCommand>(&command.action))
        return listHandset(*gateway, *handset);
    if (const auto *messages = std::get_if<MessagesCommand>(&command.action))
        return listMessages(*gateway, *messages);
    if (std::holds_alternative<LinksCommand>(command.action))
        return listLinks(*gateway);
    if (const auto *unmatched = std::get_if<UnmatchedCommand>(&command.action)) {
        if (unmatched->clearThroughId)
            return clearUnmatched(*gateway, *unmatched->clearThroughId);
        return listUnmatched(*gateway);
    }
    if (const auto *callbacks = std::get_if<CallbacksCommand>(&command.action)) {
        if (callbacks->replay)
            return replayCallbacks(*gateway, *callbacks->replay);
        return listCallbacks(*gateway, callbacks->deadOnly);
    }
    if (const auto *smpp = std::get_if<SmppCommand>(&command.action))
        return runSmpp(*gateway, *smpp);
    return listAccounts(*gateway);
}

std::optional<StoreLocation> OperatorTool::locateStore(const ToolCommand &command)
{
    StoreLocation location;
    const Status located = command.storePath ? StoreLocation::parse(*command.storePath, location)
                                             : StoreLocation::configured(location);
    if (located.failed()) {
        failed(located);
        return std::nullopt;
    }
    // A store of the operator's choosing goes only where a folder already is: a mistyped
    // path must not leave folders behind.
    if (command.storePath && location.isFile()) {
        const QString folder = QFileInfo(location.path).absolutePath();
        if (!QFileInfo(folder).isDir()) {
            failed(storeFolderMissing(folder));
            return std::nullopt;
        }
    }
    return location;
}

int OperatorTool::initializeStore(const ToolCommand &command)
{
    const std::optional<StoreLocation> location = locateStore(command);
    if (!location)
        return Failed;
    const Status initialized = Store::initialize(*location);
    if (initialized.failed())
        return failed(initialized);
    m_out << storeReady(location->describe()) << u'\n';
    return finishOutput();
}

// Only what is there is copied: the store is neither made nor migrated for it.
int OperatorTool::backUpStore(const ToolCommand &command, const BackupCommand &backup)
{
    const std::optional<StoreLocation> location = locateStore(command);
    if (!location)
        return Failed;
    if (!location->isFile())
        return failed(backupNeedsPgDump(location->describe()));
    if (const Status copied = backupStore(location->path, backup.file); copied.failed())
        return failed(copied);
    m_out << backedUp(location->path, backup.file) << u'\n';
    return finishOutput();
}

std::unique_ptr<RemoteBackend> OperatorTool::openRemote(const ServerTarget &server)
{
    std::unique_ptr<RemoteBackend> remote;
    const Status opened = RemoteBackend::open(
        { QUrl(server.url, QUrl::StrictMode), server.tokenFile, server.caFile }, remote);
    if (opened.failed())
        failed(opened);
    return remote;
}

std::unique_ptr<OperatorBackend> OperatorTool::openBackend(const ToolCommand &command)
{
    if (command.server)
        return openRemote(*command.server);
    const std::optional<StoreLocation> location = locateStore(command);
    if (!location)
        return nullptr;
    std::unique_ptr<LocalGateway> gateway;
    const Status opened = LocalGateway::open(*location, gateway);
    if (opened.failed()) {
        failed(opened);
        return nullptr;
    }
    return std::make_unique<LocalBackend>(std::move(gateway));
}

int OperatorTool::usageError(const QString &message)
{
    m_err << message << u'\n' << UsageHint << Qt::endl;
    return Usage;
}

int OperatorTool::failed(const QString &message)
{
    m_err << message << Qt::endl;
    return Failed;
}

int OperatorTool::failed(const Status &status)
{
    return failed(failure(status.description()));
}

QString OperatorTool::outputError() const
{
    const auto *file = qobject_cast<const QFileDevice *>(m_out.device());
    return file ? file->errorString() : QString();
}

int OperatorTool::finishOutput()
{
    m_out.flush();
    if (m_out.status() == QTextStream::Ok)
        return Success;
    return failed(outputFailed(outputError()));
}

int OperatorTool::showHelp()
{
    m_out << Help;
    return finishOutput();
}

int OperatorTool::showVersion()
{
    m_out << version() << u'\n';
    return finishOutput();
}

// From a store, the cards exist only if their listing reached standard output: the
// gateway commits them after the listing is written and flushed, and not at all when that
// fails. The service has committed them before its answer arrives.
int OperatorTool::issueCards(OperatorBackend &gateway, const CardIssueCommand &command)
{
    bool shown = false;
    std::optional<QString> writeError;
    const auto publish = [&](const QList<LocalGateway::IssuedCard> &cards) {
        m_out << CardHeader << u'\n';
        for (const auto &card : cards)
            m_out << cardLine(card.number, card.password, LocalGateway::formatYuan(card.valueFen))
                  << u'\n';
        m_out << cardsIssued(cards.size()) << u'\n';
        m_out.flush();
        shown = m_out.status() == QTextStream::Ok;
        if (!shown)
            writeError = outputError();
        return shown;
    };
    const Status status = gateway.issueCards(command.valueFen, command.count, publish);
    if (writeError)
        return failed(gateway.commitsCardsBeforeListing() ? cardsIssuedNotShown(*writeError)
                                                          : cardsNotIssued(*writeError));
    if (status.failed()) {
        failed(status);
        return shown ? failed(ShownCardsVoid) : Failed;
    }
    return Success;
}

int OperatorTool::arriveFromHandset(OperatorBackend &gateway, const MoCommand &command)
{
    if (command.count)
        return arriveManyFromHandset(gateway, command);
    LocalGateway::MoReport report;
    const Status status = gateway.receiveFromHandset(command.from, command.to, command.extension,
                                                     command.text, report);
    if (status.failed())
        return failed(status);
    if (const QString refused = refusal(report.outcome, command); !refused.isEmpty())
        return failed(refused);

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
    return finishOutput();
}

int OperatorTool::arriveManyFromHandset(OperatorBackend &gateway, const MoCommand &command)
{
    LocalGateway::MoBulkReport report;
    const Status status = gateway.receiveFromHandset(command.from, command.to, command.extension,
                                                     command.text, *command.count, report);
    if (status.isOk()) {
        if (const QString refused = refusal(report.outcome, command); !refused.isEmpty())
            return failed(refused);
    }
    // After a failure part way, the batches already committed are reported too.
    if (report.arrived > 0) {
        m_out << moArrivedMany(report.arrived, report.accountNo, report.serviceNumber) << u'\n';
        if (report.forwardedDelivered + report.forwardedNotSent > 0)
            m_out << forwardSummary(report.forwardingPhone, report.forwardedDelivered,
                                    report.forwardedNotSent)
                  << u'\n';
        if (report.repliesDelivered + report.repliesNotSent > 0)
            m_out << replySummary(command.from, report.repliesDelivered, report.repliesNotSent)
                  << u'\n';
    }
    if (status.failed()) {
        m_out.flush();
        return failed(status);
    }
    return finishOutput();
}

// Listings are read a page at a time and written out as they come, so that a phone
// with a million messages costs no more memory than one with a hundred.
int OperatorTool::listHandset(OperatorBackend &gateway, const HandsetCommand &command)
{
    LocalGateway::Page page;
    for (;;) {
        LocalGateway::Listing<LocalGateway::HandsetMessage> listing;
        const Status status = gateway.handsetMessages(command.phone, page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty()) {
            m_out << (listing.total == 0 ? handsetEmpty(command.phone)
                                         : handsetHeader(command.phone, listing.total))
                  << u'\n';
        }
        for (const auto &message : std::as_const(listing.entries))
            m_out << handsetLine(message.deliveredAt.toString(HandsetTimeFormat), message.from,
                                 message.text)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::listAccounts(OperatorBackend &gateway)
{
    LocalGateway::Page page;
    for (;;) {
        LocalGateway::Listing<LocalGateway::AccountSummary> listing;
        const Status status = gateway.accounts(page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoAccounts : AccountsHeader) << u'\n';
        for (const auto &a : std::as_const(listing.entries))
            m_out << accountLine(a.number, a.serviceNumber, a.mobile,
                                 LocalGateway::formatYuan(a.balanceFen), a.signedOn,
                                 a.forwardingPhone, a.autoReply, a.waiting)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::listMessages(OperatorBackend &gateway, const MessagesCommand &command)
{
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::MessageSummary> listing;
        const Status status = gateway.messages(command.filter, page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoMessages : messagesHeader(listing.total)) << u'\n';
        for (const auto &m : std::as_const(listing.entries))
            m_out << messageLine(m.id, m.submittedAtMs, m.accountNo, m.phone, m.state, m.link,
                                 m.smscIds, m.tries, m.reason, m.text)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::listLinks(OperatorBackend &gateway)
{
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::LinkSummary> listing;
        const Status status = gateway.links(page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoLinks : LinksHeader) << u'\n';
        for (const auto &l : std::as_const(listing.entries))
            m_out << linkLine(l.link, l.state, l.standingIn, l.boundSinceMs, l.outstanding, l.sent,
                              l.received, l.process, l.updatedAtMs, l.lastError)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::listUnmatched(OperatorBackend &gateway)
{
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::UnmatchedEntry> listing;
        const Status status = gateway.unmatched(page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoUnmatched : UnmatchedHeader) << u'\n';
        for (const auto &e : std::as_const(listing.entries))
            m_out << unmatchedLine(e.id, e.atMs, e.link, e.kind, e.source, e.destination, e.smscId,
                                   e.state, e.text)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::listCallbacks(OperatorBackend &gateway, bool deadOnly)
{
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::CallbackEvent> listing;
        const Status status
            = gateway.callbackEvents(deadOnly ? DeadOption : QString(), page, listing);
        if (status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoCallbackEvents : CallbackEventsHeader) << u'\n';
        for (const auto &e : std::as_const(listing.entries))
            m_out << callbackEventLine(e.id, e.atMs, e.accountNo, e.type, e.subject, e.state,
                                       e.delivery, e.attempts, e.lastError, e.url)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::replayCallbacks(OperatorBackend &gateway, qint64 id)
{
    qint64 taken = 0;
    if (const Status status = gateway.replayCallbacks(id, taken); status.failed())
        return failed(status);
    m_out << callbacksReplayed(taken) << u'\n';
    return finishOutput();
}

int OperatorTool::clearUnmatched(OperatorBackend &gateway, qint64 throughId)
{
    qint64 cleared = 0;
    if (const Status status = gateway.clearUnmatched(throughId, cleared); status.failed())
        return failed(status);
    m_out << unmatchedCleared(cleared) << u'\n';
    return finishOutput();
}

int OperatorTool::manageTokens(TokenDesk &desk, const TokenCommand &command)
{
    using Operator::TokenOutcome;
    if (command.action == TokenCommand::Action::List)
        return listTokens(desk);
    if (command.action == TokenCommand::Action::Revoke) {
        Operator::RevokedToken revoked;
        if (const Status status = desk.revokeToken(command.name, revoked); status.failed())
            return failed(status);
        if (revoked.outcome == TokenOutcome::RoleNotAllowed)
            return failed(notAnApplicationToken(command.name));
        if (revoked.outcome != TokenOutcome::Done)
            return failed(noSuchToken(command.name));
        m_out << tokenRevoked(command.name) << u'\n';
        return finishOutput();
    }
    Operator::IssuedToken issued;
    if (const Status status
        = desk.issueToken(command.name, command.role, command.accountNo, issued);
        status.failed())
        return failed(status);
    switch (issued.outcome) {
    case TokenOutcome::Done:
        break;
    case TokenOutcome::RoleNotAllowed:
        return failed(roleNotRemote(command.role));
    case TokenOutcome::NoSuchAccount:
        return failed(noSuchTokenAccount(command.accountNo));
    case TokenOutcome::NameTaken:
        return failed(tokenNameTaken(command.name));
    case TokenOutcome::BadName:
    case TokenOutcome::NoSuchToken:
        return failed(badTokenName());
    }
    // As quillet-gatewayd: the note on standard error, the token alone on standard output.
    m_err << tokenIssued(command.name, command.role) << Qt::endl;
    m_out << issued.token << u'\n';
    return finishOutput();
}

int OperatorTool::listTokens(TokenDesk &desk)
{
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::TokenSummary> listing;
        if (const Status status = desk.tokens(page, listing); status.failed()) {
            m_out.flush();
            return failed(status);
        }
        for (const auto &t : std::as_const(listing.entries))
            m_out << tokenLine(t.name, t.role, t.accountNo, t.issuedAtMs, t.revokedAtMs) << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}

int OperatorTool::runSmpp(OperatorBackend &gateway, const SmppCommand &command)
{
    using Outcome = Operator::SmppCredentials::Outcome;
    switch (command.kind) {
    case SmppCommand::Kind::Set: {
        Operator::SmppCredentials made;
        if (const Status status
            = gateway.setSmppCredentials(command.accountNo, command.systemId, made);
            status.failed())
            return failed(status);
        if (made.outcome == Outcome::NoAccount)
            return failed(unknownAccount(command.accountNo));
        if (made.outcome == Outcome::SystemIdTaken)
            return failed(smppSystemIdTaken(made.systemId));
        m_out << SmppCredentialsHeader << u'\n' << smppCredentialsLine(made.systemId, made.password)
              << u'\n';
        return finishOutput();
    }
    case SmppCommand::Kind::Revoke: {
        qint64 revoked = 0;
        if (const Status status = gateway.revokeSmppCredentials(command.accountNo, revoked);
            status.failed())
            return failed(status);
        if (revoked == 0)
            return failed(smppNothingToRevoke(command.accountNo));
        m_out << smppRevoked(command.accountNo) << u'\n';
        return finishOutput();
    }
    case SmppCommand::Kind::Binds:
        break;
    }
    Operator::Page page;
    for (;;) {
        Operator::Listing<Operator::SmppBind> listing;
        if (const Status status = gateway.smppBinds(page, listing); status.failed()) {
            m_out.flush();
            return failed(status);
        }
        if (page.after.isEmpty())
            m_out << (listing.total == 0 ? NoSmppBinds : SmppBindsHeader) << u'\n';
        for (const auto &b : std::as_const(listing.entries))
            m_out << smppBindLine(b.id, b.accountNo, b.systemId, b.mode, b.address, b.sinceMs,
                                  b.submitted, b.receipts, b.arrivals, b.process)
                  << u'\n';
        if (listing.next.isEmpty())
            return finishOutput();
        page.after = listing.next;
    }
}
