#include "checker/checkertexts.h"

using namespace Qt::StringLiterals;

namespace CheckerTexts {

QString help()
{
    return u"NAME\n"
           u"    quillet-gateway-check - run the GatewayClient contract against a gateway "
           u"component\n"
           u"\n"
           u"SYNOPSIS\n"
           u"    quillet-gateway-check [--class-id ID] [--timeout SECONDS] [PLUGIN]\n"
           u"    quillet-gateway-check --help | --version\n"
           u"\n"
           u"DESCRIPTION\n"
           u"    Loads a gateway component, the plugin file PLUGIN or, without it, the component\n"
           u"    the console would load for the class identifier (the user's\n"
           u"    quillet/components.conf, else the search order), and runs the contract of the\n"
           u"    GatewayClient interface against it:\n"
           u"      - every operation can be called and returns a Status;\n"
           u"      - an outcome slot is written -1, 0 or 1, or left as the caller filled it;\n"
           u"      - a failure Status has a negative code and a description;\n"
           u"      - when a receive operation's outcome is not 0, total and current are texts\n"
           u"        that begin with a number and messages is a table with at least current\n"
           u"        rows and four columns;\n"
           u"      - hostile inputs (empty, 1 MB, control characters, unpaired surrogates, SQL\n"
           u"        metacharacters) in every text argument are answered in time, without a\n"
           u"        crash;\n"
           u"      - instances are independent: each is its own, and one outlives another.\n"
           u"    Each group of checks runs in a child process with a time limit, so a crash or a\n"
           u"    hang is reported, not suffered. The checks use scratch accounts with random\n"
           u"    numbers of the form XXX-XXX-XXX-XXXXX that they register themselves: run the\n"
           u"    checker against a store meant for testing.\n"
           u"    The result is a table of checks with PASS or FAIL and why; control characters\n"
           u"    in it are escaped.\n"
           u"\n"
           u"OPTIONS\n"
           u"    --class-id ID\n"
           u"        The class identifier to check (default: the SMS gateway client's).\n"
           u"    --timeout SECONDS\n"
           u"        The time each group of checks may take (default: 60).\n"
           u"    -h, --help\n"
           u"        Show this help.\n"
           u"    --version\n"
           u"        Show the version.\n"
           u"\n"
           u"EXIT STATUS\n"
           u"    0 every check passed, 1 a check failed, 2 usage error.\n"
           u"\n"
           u"EXAMPLES\n"
           u"    XDG_DATA_HOME=$(mktemp -d) quillet-gateway-check\n"
           u"    quillet-gateway-check /usr/lib/x86_64-linux-gnu/quillet/plugins/quillet-gateways/"
           u"libquillet-localgateway.so\n"_s;
}

QString version()
{
    return u"quillet-gateway-check %1\n"_s.arg(QStringLiteral(QUILLET_VERSION));
}

QString usageHint()
{
    return u"See quillet-gateway-check --help."_s;
}

QString badTimeout(const QString &given)
{
    return u"--timeout needs a whole number of seconds from 1 to 3600, not \"%1\"."_s.arg(given);
}

QString tooManyFiles()
{
    return u"Give at most one plugin file."_s;
}

QString columnCheck()
{
    return u"CHECK"_s;
}

QString columnResult()
{
    return u"RESULT"_s;
}

QString columnWhy()
{
    return u"WHY"_s;
}

QString passed()
{
    return u"PASS"_s;
}

QString failed()
{
    return u"FAIL"_s;
}

QString summary(int passedCount, int failedCount)
{
    return u"%1 passed, %2 failed"_s.arg(passedCount).arg(failedCount);
}

QString checkLoad()
{
    return u"load"_s;
}

QString checkInstances()
{
    return u"instances"_s;
}

QString checkHostile(const QString &kind)
{
    return u"hostile: %1"_s.arg(kind);
}

QString hostileEmpty()
{
    return u"empty"_s;
}

QString hostileMegabyte()
{
    return u"1 MB"_s;
}

QString hostileControl()
{
    return u"control characters"_s;
}

QString hostileSurrogates()
{
    return u"unpaired surrogates"_s;
}

QString hostileSql()
{
    return u"SQL metacharacters"_s;
}

QString loaded(const QString &file)
{
    return u"%1 made an instance"_s.arg(file);
}

QString notRun()
{
    return u"not run: the component did not load"_s;
}

QString childCrashed(const QString &group, int rowsBefore)
{
    return u"the component crashed in \"%1\" after %2 checks"_s.arg(group).arg(rowsBefore);
}

QString childTimedOut(const QString &group, int seconds)
{
    return u"\"%1\" gave no answer within %2 s"_s.arg(group).arg(seconds);
}

QString childNoResult(const QString &group, const QString &reason)
{
    return u"\"%1\" could not run: %2"_s.arg(group, reason);
}

QString answered(qint32 code, const QString &outcome)
{
    return u"Status %1, outcome %2"_s.arg(code).arg(outcome);
}

QString answeredText(qint32 code, const QString &text)
{
    return u"Status %1, text \"%2\""_s.arg(code).arg(text);
}

QString answeredFailure(qint32 code, const QString &description)
{
    return u"failure Status %1: %2"_s.arg(code).arg(description);
}

QString optionTwice(const QString &option)
{
    return u"--%1 is given more than once."_s.arg(option);
}

QString outcomeUntouched()
{
    return u"left untouched"_s;
}

QString textUntouched(qint32 code)
{
    return u"Status %1, text slot left untouched"_s.arg(code);
}

QString failureWithoutDescription(qint32 code)
{
    return u"failure Status %1 without a description"_s.arg(code);
}

QString outcomeGarbage(qint32 value)
{
    return u"outcome slot holds %1: neither -1, 0, 1 nor left untouched"_s.arg(value);
}

QString countNotANumber(const QString &which, const QString &text)
{
    return u"%1 does not begin with a number: \"%2\""_s.arg(which, text);
}

QString messagesNotATable()
{
    return u"messages is not a table"_s;
}

QString tableTooSmall(qsizetype rows, qsizetype columns, const QString &current)
{
    return u"messages is %1 x %2, current says \"%3\" rows of four columns"_s.arg(rows)
        .arg(columns)
        .arg(current);
}

QString hostileSummary(int calls, int accepted, int refused)
{
    return u"%1 calls answered: %2 accepted, %3 refused"_s.arg(calls).arg(accepted).arg(refused);
}

QString sameInstanceTwice()
{
    return u"the component handed out the same instance twice"_s;
}

QString instancesIndependent()
{
    return u"two instances, the second works after the first is gone"_s;
}

QString secondFailedAfterFirstWent(const QString &problem)
{
    return u"after the first instance went: %1"_s.arg(problem);
}

} // namespace CheckerTexts
