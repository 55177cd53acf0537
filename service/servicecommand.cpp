#include "service/servicecommand.h"

#include "gateway/local/inputrules.h"
#include "service/serveconfig.h"
#include "service/servicestore.h"
#include "service/servicetexts.h"

#include <QCommandLineParser>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

using namespace ServiceTexts;

// The options that take a value; --help and --version take none.
const QStringList ValueOptions
    = { ConfigOption,         ListenOption, PortOption,    StoreOption,
        TlsCertificateOption, TlsKeyOption, WorkersOption, MetricsPortOption,
        MetricsListenOption,  RoleOption,   NameOption,    AccountOption };

// Long enough for any option or command, short enough for one line of an error.
constexpr qsizetype ShownLength = 64;

ParsedServiceCommand usageError(const QString &why)
{
    return { std::nullopt, why };
}

ParsedServiceCommand parsed(ServiceCommand::Action action, const QCommandLineParser &parser)
{
    ServiceCommand command { std::move(action), std::nullopt, std::nullopt };
    if (parser.isSet(ConfigOption))
        command.configFile = parser.value(ConfigOption);
    if (parser.isSet(StoreOption))
        command.store = parser.value(StoreOption);
    return { std::move(command), QString() };
}

// The usage error of an argument that QCommandLineParser reads otherwise than this
// command line does, or reports only in words of its own: a word with one dash ("-p",
// "-port"), which it would take for short options; "--" alone, which it would take for
// the end of the options; a value given to --help; and a value missing after the last
// option. Read the way the parser reads the arguments: an option's value is never an
// option word, whatever it looks like.
QString irregularOption(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool doubleDash = argument.startsWith(u"--"_s);
        if (argument == u"--"_s
            || (!doubleDash && argument.startsWith(u'-') && argument.size() > 1))
            return unknownOption(argument.left(ShownLength));
        if (!doubleDash)
            continue;
        const QString name = argument.mid(2).section(u'=', 0, 0);
        const bool valueAttached = argument.contains(u'=');
        if ((name == HelpOption || name == VersionOption) && valueAttached)
            return takesNoValue(u"--"_s + name);
        if (!valueAttached && ValueOptions.contains(name) && ++i == arguments.size())
            return needsOneValue(argument);
    }
    return {};
}

// The serve settings the command line gives. Each is checked here, though the config
// file may have a good value for it: the command line's wins.
ParsedServiceCommand parseServe(const QCommandLineParser &parser)
{
    ServiceCommand::Serve serve;
    for (const QString &option : ValueOptions) {
        const QString key = keyOfOption(option);
        if (key.isEmpty() || !parser.isSet(option))
            continue;
        const QString text = parser.value(option);
        if (const QString bad = checkOption(option, text); !bad.isEmpty())
            return usageError(bad);
        serve.given.insert(key, text);
    }
    return parsed(serve, parser);
}

// `words`: "token" and what follows it. Options a token command does not use (--port,
// or --role with revoke) are let be, as the serve settings are by init.
ParsedServiceCommand parseToken(const QCommandLineParser &parser, const QStringList &words)
{
    const QString action = words.value(1);
    if (words.size() != 2 || (action != IssueWord && action != RevokeWord && action != ListWord))
        return usageError(tokenActions());
    if (action == ListWord)
        return parsed(ServiceCommand::TokenList(), parser);
    const QString name = parser.value(NameOption);
    if (!ServiceStore::acceptableName(name))
        return usageError(badTokenName());
    if (action == RevokeWord)
        return parsed(ServiceCommand::TokenRevoke { name }, parser);
    const QString role = parser.value(RoleOption);
    ServiceCommand::TokenIssue issue { name, Wire::Role::Console, {} };
    if (role == OperatorRole)
        issue.role = Wire::Role::Operator;
    else if (role == ApplicationRole)
        issue.role = Wire::Role::Application;
    else if (role != ConsoleRole)
        return usageError(badRole());
    const bool bound = issue.role == Wire::Role::Application;
    if (bound != parser.isSet(AccountOption))
        return usageError(bound ? applicationNeedsAccount() : accountOnlyForApplication());
    issue.accountNo = parser.value(AccountOption);
    // Whether the account is there is the store's to say; a number that cannot be one
    // goes no further.
    if (bound && !InputRules::isAccountNumber(issue.accountNo))
        return usageError(applicationNeedsAccount());
    return parsed(issue, parser);
}

} // namespace

ParsedServiceCommand parseServiceCommand(const QStringList &arguments)
{
    if (const QString irregular = irregularOption(arguments); !irregular.isEmpty())
        return usageError(irregular);
    QCommandLineParser parser;
    for (const QString &option : ValueOptions)
        parser.addOption(QCommandLineOption(option, QString(), option));
    parser.addOption(QCommandLineOption(HelpOption));
    parser.addOption(QCommandLineOption(VersionOption));
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return usageError(
                unknownOption(QString(u"--"_s + unknown.constFirst()).left(ShownLength)));
        return usageError(unreadableOptions(parser.errorText()));
    }
    for (const QString &option : ValueOptions) {
        if (parser.values(option).size() > 1)
            return usageError(needsOneValue(u"--"_s + option));
    }
    if (parser.isSet(HelpOption))
        return parsed(ServiceCommand::Help(), parser);
    if (parser.isSet(VersionOption))
        return parsed(ServiceCommand::Version(), parser);

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return parseServe(parser);
    if (words.constFirst() == TokenWord)
        return parseToken(parser, words);
    if (words.constFirst() == InitWord) {
        if (words.size() != 1)
            return usageError(initTakesNoWords());
        return parsed(ServiceCommand::Init(), parser);
    }
    return usageError(unknownCommand(words.constFirst().left(ShownLength)));
}
