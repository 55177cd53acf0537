// The operator tool's commands on a store the size a busy service reaches:
//
//   1,000,000 delivered MT messages over 100,000 phones, 100,000 messages waiting,
//   100 accounts (filled in bulk)
//     ├─ handset PHONE      the listing (LocalGateway::handsetMessages, what the command
//     │                     runs), median over phones in turn; and the whole command
//     ├─ accounts           likewise
//     └─ mo --count 100000  100,000 arrivals for one account: the gateway's bulk call,
//                           and the whole command
//
// Whole commands run in this process through OperatorTool::run, exactly as
// quillet-gateway runs them, store opening included; their output goes to a buffer.
//
//   QUILLET_BENCH_ROUNDS  listing calls per command, default 51

#include "bench/kit/backlogfiller.h"
#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "tools/operatortool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 MtRows = 1'000'000;
constexpr qint64 Phones = 100'000;
constexpr qint64 Waiting = 100'000;
constexpr int Accounts = 100;
constexpr qint64 Arrivals = 100'000;
constexpr double ListingGoalMs = 5.0;
constexpr double ArrivalsGoalSeconds = 5.0;
constexpr qint64 FirstMs = 1'765'000'000'000; // December 2025

using BenchKit::setting;

int stop(const QString &what)
{
    std::fprintf(stderr, "FAILED: %s\n", qUtf8Printable(what));
    return 1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString accountNumber(int i)
{
    return u"OPR-BEN-CHM-%1"_s.arg(i, 5, 10, QChar(u'0'));
}

QString phoneNumber(qint64 i)
{
    return u"138%1"_s.arg(i % Phones, 8, 10, QChar(u'0'));
}

// The whole command, as quillet-gateway runs it; its exit code and time in ms.
int runTool(const QStringList &arguments, double &ms, QString &output)
{
    output.clear();
    QString errors;
    QTextStream out(&output);
    QTextStream err(&errors);
    OperatorTool tool(out, err);
    QElapsedTimer timer;
    timer.start();
    const int code = tool.run(QStringList { u"quillet-gateway"_s } + arguments);
    out.flush();
    ms = double(timer.nsecsElapsed()) / 1e6;
    if (code == OperatorTool::Failed)
        std::fprintf(stderr, "%s\n", qUtf8Printable(errors));
    return code;
}

void printLine(const char *what, double ms, double goalMs)
{
    std::printf("  %-46s %9.3f ms (goal <= %.0f ms) -> %s\n", what, ms, goalMs,
                ms <= goalMs ? "within goal" : "OVER GOAL");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = setting("QUILLET_BENCH_ROUNDS", 51);

    QTemporaryDir dir(QDir::current().filePath(u"bench-operator-XXXXXX"_s));
    if (!dir.isValid())
        return stop(u"temporary folder"_s);
    const QString path = dir.filePath(u"gateway.sqlite3"_s);
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest(); // set-up only; not what is measured
    std::unique_ptr<LocalGateway> gateway;
    if (const Status opened = LocalGateway::open(path, gateway, options); opened.failed())
        return stop(opened.description());
    for (int i = 0; i < Accounts; ++i) {
        RegisterParticulars particulars;
        particulars.accountNo = accountNumber(i);
        particulars.password = u"pw"_s;
        Bool16 outcome = 0;
        if (gateway->Register(particulars, outcome).failed() || outcome != True16)
            return stop(u"register %1"_s.arg(particulars.accountNo));
    }
    QElapsedTimer filling;
    filling.start();
    {
        BacklogFiller filler(path);
        if (!filler.isOpen() || !filler.addDelivered(accountNumber(0), MtRows, Phones, FirstMs)
            || !filler.addWaiting(accountNumber(1), 0, Waiting, QString(), FirstMs))
            return stop(u"filling: %1"_s.arg(filler.error()));
    }
    std::printf("store: %lld delivered MT rows over %lld phones, %lld waiting, %d accounts "
                "(filled in %.1f s)\n",
                static_cast<long long>(MtRows), static_cast<long long>(Phones),
                static_cast<long long>(Waiting), Accounts, double(filling.elapsed()) / 1000);

    // The listings, one phone after another, and the accounts, in turn.
    std::vector<double> handsetMs;
    std::vector<double> accountsMs;
    for (int round = 0; round < rounds; ++round) {
        const QString phone = phoneNumber(qint64(round) * 7919);
        QList<LocalGateway::HandsetMessage> messages;
        QElapsedTimer timer;
        timer.start();
        if (LocalOperator(*gateway).handsetMessages(phone, messages).failed())
            return stop(u"handset %1"_s.arg(phone));
        handsetMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (messages.size() != MtRows / Phones)
            return stop(u"handset %1 listed %2 messages"_s.arg(phone).arg(messages.size()));

        QList<LocalGateway::AccountSummary> list;
        timer.start();
        if (LocalOperator(*gateway).accounts(list).failed())
            return stop(u"accounts"_s);
        accountsMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (list.size() != Accounts)
            return stop(u"accounts listed %1"_s.arg(list.size()));
    }
    QString output;
    double handsetCommandMs = 0;
    double accountsCommandMs = 0;
    if (runTool({ u"--store"_s, path, u"handset"_s, phoneNumber(4242) }, handsetCommandMs, output)
            != 0
        || runTool({ u"--store"_s, path, u"accounts"_s }, accountsCommandMs, output) != 0)
        return stop(u"the operator tool's listings"_s);

    std::printf("listings, median of %d calls each:\n", rounds);
    printLine("handset PHONE (10 of 1,000,000 MT rows)", median(handsetMs), ListingGoalMs);
    printLine("accounts (100 accounts, 100,000 waiting)", median(accountsMs), ListingGoalMs);
    std::printf("  whole commands once, store opening included: handset %.1f ms, accounts "
                "%.1f ms\n",
                handsetCommandMs, accountsCommandMs);

    // Bulk arrivals through the gateway's own call, the one the command runs.
    {
        LocalGateway::MoBulkReport report;
        QElapsedTimer timer;
        timer.start();
        const Status status = LocalOperator(*gateway).receiveFromHandset(
            u"13900139000"_s, accountNumber(3), {}, u"负载测试"_s, Arrivals, report);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        if (status.failed() || report.arrived != Arrivals)
            return stop(u"bulk arrivals: %1"_s.arg(status.description()));
        std::printf("%lld arrivals through LocalGateway::receiveFromHandset (what mo --count "
                    "runs): %.2f s (goal <= %.0f s) -> %s\n",
                    static_cast<long long>(Arrivals), seconds, ArrivalsGoalSeconds,
                    seconds <= ArrivalsGoalSeconds ? "within goal" : "OVER GOAL");
    }

    // Bulk arrivals through the whole command.
    double moMs = 0;
    const int code
        = runTool({ u"--store"_s, path, u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s,
                    accountNumber(2), u"--count"_s, QString::number(Arrivals), u"负载测试"_s },
                  moMs, output);
    if (code == OperatorTool::Usage) {
        std::printf("mo --count %lld: this build of the operator tool has no --count -> NOT "
                    "MEASURED\n",
                    static_cast<long long>(Arrivals));
        return 0;
    }
    QList<LocalGateway::AccountSummary> list;
    if (code != OperatorTool::Success || LocalOperator(*gateway).accounts(list).failed())
        return stop(u"mo --count"_s);
    const auto arrived
        = std::ranges::find(list, accountNumber(2), &LocalGateway::AccountSummary::number);
    if (arrived == list.end() || arrived->waiting != Arrivals)
        return stop(
            u"mo --count left %1 waiting"_s.arg(arrived == list.end() ? -1 : arrived->waiting));
    const double seconds = moMs / 1000;
    std::printf("mo --count %lld (one account, whole command): %.2f s (goal <= %.0f s) -> %s\n",
                static_cast<long long>(Arrivals), seconds, ArrivalsGoalSeconds,
                seconds <= ArrivalsGoalSeconds ? "within goal" : "OVER GOAL");
    return 0;
}
