// Receive messages over 100,000 waiting messages (10,000 batches of 10) into the
// output pane, against the same listing built by plain appends into a reserved string
// and set into the same kind of pane.
//
// Each measurement runs in a child process of its own, so peak memory is the child's:
// the parent alternates the two variants and prints medians and ratios.

#include "console.h"
#include "consoletexts.h"
#include "fakegateway.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int Batches = 10'000;
constexpr int BatchSize = 10;
constexpr int Total = Batches * BatchSize;

// Hands out the waiting messages ten at a time, making each batch as it is asked for.
class BatchGateway final : public FakeGateway {
public:
    BatchGateway()
        : FakeGateway(std::make_shared<GatewayScript>())
    {
    }

    Status ReceiveMessages(const QString &, Variant &total, Variant &current, Variant &messages,
                           Bool16 &outcome) override
    {
        const int waiting = Total - m_fetched;
        const int count = std::min(BatchSize, waiting);
        TextTable table(count, 4);
        for (int m = 0; m < count; ++m) {
            const int id = m_fetched + m;
            table.set(m, 0, u"1065800%1"_s.arg(id % 100));
            table.set(m, 1, u"1380013%1"_s.arg(id, 4, 10, QChar(u'0')));
            table.set(m, 2, u"第%1条测试短信：回复内容"_s.arg(id));
            table.set(m, 3,
                      u"2026-12-07 23:%1:%2"_s.arg(id / 60 % 60, 2, 10, QChar(u'0'))
                          .arg(id % 60, 2, 10, QChar(u'0')));
        }
        total = Variant(QString::number(waiting));
        current = Variant(QString::number(count));
        messages = Variant(std::move(table));
        outcome = True16;
        m_fetched += count;
        return Status::ok();
    }

private:
    int m_fetched = 0;
};

class PaneView final : public ConsoleView {
public:
    QString boxText(InputBox) const override { return u"BEN-CHM-ARK-00001"_s; }
    void showNotice(const QString &) override { }
    void setOutputText(const QString &text) override { pane.setPlainText(text); }
    void reportError(const Status &status) override
    {
        std::fprintf(stderr, "error %d\n", status.code());
        std::exit(1);
    }
    QPlainTextEdit pane;
};

long currentRssKb()
{
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    const long resident = fields.size() > 1 ? fields.at(1).toLong() : 0;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One measurement in this process: prints "<milliseconds> <rss before kB> <listing chars>".
int measure(const char *variant)
{
    PaneView view;
    view.pane.resize(433, 105);
    view.pane.show();
    QCoreApplication::processEvents();
    const long before = currentRssKb();
    QElapsedTimer timer;
    qsizetype chars = 0;

    if (std::strcmp(variant, "console") == 0) {
        Console console(view, [](std::unique_ptr<GatewayClient> &client) {
            client = std::make_unique<BatchGateway>();
            return Status::ok();
        });
        console.setReceiveCallLimit(Batches);
        timer.start();
        console.press(u"Command7"_s); // 接收短信
        chars = view.pane.document()->characterCount();
    } else {
        BatchGateway gateway;
        timer.start();
        QString listing;
        listing.reserve(qsizetype(Total) * 90);
        listing += ConsoleTexts::ReceiveHeader + ConsoleTexts::LineBreak;
        Variant total;
        Variant current;
        Variant messages;
        Bool16 outcome = 0;
        const QString *labels[] = { &ConsoleTexts::ServiceNumberLabel, &ConsoleTexts::SenderLabel,
                                    &ConsoleTexts::ContentLabel, &ConsoleTexts::SentTimeLabel };
        for (;;) {
            (void)gateway.ReceiveMessages({}, total, current, messages, outcome);
            QString t;
            QString c;
            (void)total.toText(t);
            (void)current.toText(c);
            listing += ConsoleTexts::TotalLabel + t + ConsoleTexts::LineBreak;
            listing += ConsoleTexts::CurrentLabel + c + ConsoleTexts::LineBreak;
            const TextTable *table = nullptr;
            (void)messages.toTable(table);
            QString field;
            for (qsizetype m = 0; m < table->rows(); ++m)
                for (qsizetype f = 0; f < 4; ++f) {
                    (void)table->at(m, f, field);
                    listing += *labels[f] + field + ConsoleTexts::LineBreak;
                }
            if (c.toInt() >= t.toInt())
                break;
        }
        view.setOutputText(listing);
        chars = view.pane.document()->characterCount();
    }
    const qint64 ms = timer.elapsed();
    std::printf("%lld %ld %lld\n", static_cast<long long>(ms), before,
                static_cast<long long>(chars));
    return 0;
}

struct Sample {
    double ms = 0;
    double extraKb = 0;
    double chars = 0;
};

Sample runChild(const char *self, const char *variant)
{
    int out[2];
    if (pipe(out) != 0)
        std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char *argv[] = { const_cast<char *>(self), const_cast<char *>(variant), nullptr };
    pid_t pid = 0;
    if (posix_spawn(&pid, self, &actions, nullptr, argv, environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    const QList<QByteArray> fields = QByteArray::fromStdString(text).trimmed().split(' ');
    bool parsed = fields.size() == 3;
    const auto number = [&](int i) {
        bool ok = false;
        const double value = parsed ? fields.at(i).toDouble(&ok) : 0;
        parsed = parsed && ok;
        return value;
    };
    Sample sample;
    sample.ms = number(0);
    sample.extraKb = static_cast<double>(usage.ru_maxrss) - number(1);
    sample.chars = number(2);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !parsed) {
        std::fprintf(stderr, "child %s failed\n", variant);
        std::exit(1);
    }
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2) {
        QApplication app(argc, argv);
        return measure(argv[1]);
    }
    QTemporaryDir runtimeDir; // private to this run, as the platform wants it
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));

    constexpr int Rounds = 5;
    std::vector<double> consoleMs, baselineMs, consoleKb, baselineKb;
    double chars = 0;
    for (int round = 0; round < Rounds; ++round) {
        const Sample c = runChild(argv[0], "console");
        const Sample b = runChild(argv[0], "baseline");
        consoleMs.push_back(c.ms);
        consoleKb.push_back(c.extraKb);
        baselineMs.push_back(b.ms);
        baselineKb.push_back(b.extraKb);
        chars = c.chars;
    }
    const double listingKb = chars * 2 / 1024; // UTF-16
    const double cMs = median(consoleMs), bMs = median(baselineMs);
    const double cKb = median(consoleKb), bKb = median(baselineKb);
    std::printf("Receive of %d messages (%d batches of %d) into the pane, median of %d runs each\n",
                Total, Batches, BatchSize, Rounds);
    std::printf("  listing: %.0f characters (%.1f MiB as UTF-16)\n", chars, listingKb / 1024);
    std::printf("  console receive:  %8.0f ms  peak extra memory %8.1f MiB\n", cMs, cKb / 1024);
    std::printf("  reserved appends: %8.0f ms  peak extra memory %8.1f MiB\n", bMs, bKb / 1024);
    std::printf("  time ratio console / baseline: %.2fx (goal <= 1.5x)\n", cMs / bMs);
    std::printf("  extra memory beyond baseline: %.1f MiB = %.2fx the listing (goal <= 2x)\n",
                (cKb - bKb) / 1024, (cKb - bKb) / listingKb);
    return 0;
}
