// Receiving from a backlog through the real local gateway: does one ReceiveMessages /
// ReceiveMessagesNet call cost the same whatever the number of messages waiting?
//
//   three accounts with 1,000, 10,000 and 100,000 messages waiting (filled in bulk)
//     └─ rounds: one call per account in turn, timed alone; the ten fetched messages
//        are put back untimed, so each backlog keeps its size
//   a fourth account with 100,000 waiting, drained through ReceiveMessages to the end
//
// Both run twice: as shipped (the store at synchronous=FULL on the disk of the build
// tree, where a receive's commit goes to the log without waiting for the disk, as the
// gateway makes it), and with flushes off everywhere, so the figure shows the work of
// the calls rather than the disk's. The gateway is opened before anything is timed; a
// drain that runs past half a minute is stopped and reported as such.
//
//   QUILLET_BENCH_ROUNDS  calls per account, operation and pass, default 51

#include "bench/kit/backlogfiller.h"
#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr double FlatGoal = 1.3;
constexpr double DrainGoalSeconds = 3.0;
constexpr qint64 DrainSize = 100'000;
constexpr qint64 DrainLimitMs = 30'000;
const QString Extension = u"8"_s;
constexpr qint64 FirstSentMs = 1'765'000'000'000; // December 2025

using BenchKit::setting;

bool fail(const QString &what)
{
    std::fprintf(stderr, "FAILED: %s\n", qUtf8Printable(what));
    return false;
}

int stop(const QString &what)
{
    fail(what);
    return 1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Backlog {
    QString account;
    qint64 size = 0;
    qint64 added = 0; // messages put in so far, to number the next ones
    std::vector<double> receiveMs;
    std::vector<double> netMs;
};

struct Drain {
    qint64 calls = 0;
    qint64 received = 0;
    double seconds = 0;
};

// One call, timed; false unless it succeeded and fetched a full batch out of `expected`.
bool timedCall(LocalGateway &gateway, const Backlog &backlog, bool net, double &ms)
{
    Variant total, current, messages;
    Bool16 outcome = 0;
    QElapsedTimer timer;
    timer.start();
    const Status status = net
        ? gateway.ReceiveMessagesNet(backlog.account, total, current, messages, Extension, outcome)
        : gateway.ReceiveMessages(backlog.account, total, current, messages, outcome);
    ms = double(timer.nsecsElapsed()) / 1e6;
    QString totalText, currentText;
    if (status.failed() || outcome != True16 || total.toText(totalText).failed()
        || current.toText(currentText).failed())
        return stop(u"receive for %1: %2"_s.arg(backlog.account, status.description()));
    if (totalText != QString::number(backlog.size) || currentText != u"10"_s)
        return fail(u"receive for %1 said total %2, current %3; expected %4 and 10"_s.arg(
            backlog.account, totalText, currentText, QString::number(backlog.size)));
    return true;
}

bool registerAccount(LocalGateway &gateway, const QString &account)
{
    RegisterParticulars particulars;
    particulars.accountNo = account;
    particulars.password = u"pw"_s;
    Bool16 outcome = 0;
    return gateway.Register(particulars, outcome).isOk() && outcome == True16;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = setting("QUILLET_BENCH_ROUNDS", 51);

    QTemporaryDir dir(QDir::current().filePath(u"bench-backlog-XXXXXX"_s));
    if (!dir.isValid())
        return fail(u"temporary folder"_s);
    const QString path = dir.filePath(u"gateway.sqlite3"_s);
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest(); // set-up only; not what is measured
    std::unique_ptr<LocalGateway> gateway;
    const Status opened = LocalGateway::open(path, gateway, options);
    if (opened.failed())
        return stop(opened.description());

    BacklogFiller filler(path);
    if (!filler.isOpen())
        return stop(filler.error());
    const auto fill = [&](const QString &account, qint64 size) {
        return registerAccount(*gateway, account)
            && filler.addWaiting(account, 0, size, Extension, FirstSentMs);
    };

    for (const bool shipped : { true, false }) {
        const char *pass = shipped ? "as shipped" : "flushes off";
        if (!BacklogFiller::setGatewaySynchronous(shipped ? u"FULL"_s : u"OFF"_s))
            return stop(u"setting synchronous"_s);
        const QString tag = shipped ? u"D"_s : u"C"_s;
        std::array<Backlog, 3> backlogs {
            Backlog { u"BEN-CHM-AR%1-01000"_s.arg(tag), 1'000, 0, {}, {} },
            Backlog { u"BEN-CHM-AR%1-10000"_s.arg(tag), 10'000, 0, {}, {} },
            Backlog { u"BEN-CHM-AR%1-99999"_s.arg(tag), 100'000, 0, {}, {} }
        };
        const QString drained = u"BEN-CHM-AR%1-DRAIN"_s.arg(tag);
        for (Backlog &backlog : backlogs) {
            if (!fill(backlog.account, backlog.size))
                return stop(u"filling %1: %2"_s.arg(backlog.account, filler.error()));
            backlog.added = backlog.size;
        }
        if (!fill(drained, DrainSize))
            return stop(u"filling %1: %2"_s.arg(drained, filler.error()));

        // Every account in turn, ReceiveMessages then ReceiveMessagesNet, each call
        // followed by putting its ten messages back.
        for (int round = 0; round < rounds; ++round) {
            for (Backlog &backlog : backlogs) {
                for (const bool net : { false, true }) {
                    double ms = 0;
                    if (!timedCall(*gateway, backlog, net, ms)
                        || !filler.addWaiting(backlog.account, backlog.added, 10, Extension,
                                              FirstSentMs))
                        return 1;
                    backlog.added += 10;
                    (net ? backlog.netMs : backlog.receiveMs).push_back(ms);
                }
            }
        }

        // Every waiting message fetched, ten per call, as the window's loop does.
        Drain drain;
        QElapsedTimer timer;
        timer.start();
        bool finished = false;
        while (!finished && timer.elapsed() < DrainLimitMs) {
            Variant total, current, messages;
            Bool16 outcome = 0;
            ++drain.calls;
            const Status status
                = gateway->ReceiveMessages(drained, total, current, messages, outcome);
            QString totalText, currentText;
            if (status.failed() || outcome != True16 || total.toText(totalText).failed()
                || current.toText(currentText).failed())
                return stop(u"draining: %1"_s.arg(status.description()));
            drain.received += currentText.toLongLong();
            finished = currentText.toLongLong() >= totalText.toLongLong();
        }
        drain.seconds = double(timer.nsecsElapsed()) / 1e9;
        if (finished && drain.received != DrainSize)
            return stop(u"drained %1 of %2"_s.arg(drain.received).arg(DrainSize));

        std::printf("Receiving from a backlog through the local gateway, %s\n", pass);
        std::printf("  per call, median of %d calls each, backlog kept at its size:\n", rounds);
        std::printf("  %-20s %12s %12s %12s\n", "waiting", "1,000", "10,000", "100,000");
        for (const bool net : { false, true }) {
            std::printf("  %-20s", net ? "ReceiveMessagesNet" : "ReceiveMessages");
            for (const Backlog &backlog : backlogs)
                std::printf(" %9.3f ms", median(net ? backlog.netMs : backlog.receiveMs));
            std::printf("\n");
        }
        for (const bool net : { false, true }) {
            const auto &small = net ? backlogs[0].netMs : backlogs[0].receiveMs;
            const auto &large = net ? backlogs[2].netMs : backlogs[2].receiveMs;
            const double ratio = median(large) / median(small);
            std::printf("  ratio %s 100,000 / 1,000 waiting, %s: %.2fx (goal <= %.1fx) -> %s\n",
                        net ? "ReceiveMessagesNet" : "ReceiveMessages", pass, ratio, FlatGoal,
                        ratio <= FlatGoal ? "within goal" : "OVER GOAL");
        }
        if (finished)
            std::printf("  draining %lld waiting through ReceiveMessages, %s: %lld calls, %.2f s "
                        "(goal <= %.0f s) -> %s\n",
                        static_cast<long long>(DrainSize), pass,
                        static_cast<long long>(drain.calls), drain.seconds, DrainGoalSeconds,
                        drain.seconds <= DrainGoalSeconds ? "within goal" : "OVER GOAL");
        else
            std::printf("  draining %lld waiting through ReceiveMessages, %s: stopped after "
                        "%.0f s with %lld received in %lld calls (goal <= %.0f s) -> OVER GOAL\n",
                        static_cast<long long>(DrainSize), pass, drain.seconds,
                        static_cast<long long>(drain.received), static_cast<long long>(drain.calls),
                        DrainGoalSeconds);
        std::fflush(stdout);
    }
    return 0;
}
