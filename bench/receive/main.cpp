// Receive messages into the output pane, against the same listing built by plain
// appends into a reserved string and set into the same kind of pane:
//
//   console   100,000 messages (10,000 batches of 10) through Console, its call bound
//             raised to let them all through;
//   window    10,000 messages (1,000 batches, the shipped bound of one press) through
//             the real window: a click on Command7, busy cursor and all.
//
// The gateway hands out the batches from memory; it is made before the clock starts
// on both sides. Each measurement runs in a child process of its own, so peak memory
// is the child's: the parent alternates the variants and prints medians and ratios.

#include "console/console.h"
#include "console/consoletexts.h"
#include "tests/kit/fakegateway.h"
#include "ui/form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
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

constexpr int BatchSize = 10;
constexpr int ConsoleTotal = 100'000;
constexpr int WindowTotal = Console::ReceiveCallLimit * BatchSize;

// Hands out `total` waiting messages ten at a time, making each batch as it is asked for.
class BatchGateway final : public FakeGateway {
public:
    explicit BatchGateway(int total)
        : FakeGateway(std::make_shared<GatewayScript>())
        , m_total(total)
    {
    }

    Status ReceiveMessages(const QString &, Variant &total, Variant &current, Variant &messages,
                           Bool16 &outcome) override
    {
        const int waiting = m_total - m_fetched;
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
    int m_total;
    int m_fetched = 0;
};

// Hands the gateway made before the clock started to whoever asks first.
Console::GatewayFactory handOver(std::unique_ptr<GatewayClient> &made)
{
    return [&made](std::unique_ptr<GatewayClient> &client) {
        client = std::move(made);
        return client ? Status::ok() : Status::failure(-1, u"the gateway was already taken"_s);
    };
}

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

// The listing built by plain appends into a reserved string, set into the pane once.
qsizetype appendListing(BatchGateway &gateway, int total, QPlainTextEdit &pane)
{
    QString listing;
    listing.reserve(qsizetype(total) * 90);
    listing += ConsoleTexts::ReceiveHeader + ConsoleTexts::LineBreak;
    Variant totalSlot;
    Variant current;
    Variant messages;
    Bool16 outcome = 0;
    const QString *labels[] = { &ConsoleTexts::ServiceNumberLabel, &ConsoleTexts::SenderLabel,
                                &ConsoleTexts::ContentLabel, &ConsoleTexts::SentTimeLabel };
    for (;;) {
        (void)gateway.ReceiveMessages({}, totalSlot, current, messages, outcome);
        QString t;
        QString c;
        (void)totalSlot.toText(t);
        (void)current.toText(c);
        listing += ConsoleTexts::TotalLabel + t + ConsoleTexts::LineBreak;
        listing += ConsoleTexts::CurrentLabel + c + ConsoleTexts::LineBreak;
        TextTable table;
        (void)messages.toTable(table);
        QString field;
        for (qsizetype m = 0; m < table.rows(); ++m)
            for (qsizetype f = 0; f < 4; ++f) {
                (void)table.at(m, f, field);
                listing += *labels[f] + field + ConsoleTexts::LineBreak;
            }
        if (c.toInt() >= t.toInt())
            break;
    }
    pane.setPlainText(listing);
    return pane.document()->characterCount();
}

// One measurement in this process: prints "<milliseconds> <rss before kB> <listing chars>".
int measure(const char *variant)
{
    const bool window = std::strncmp(variant, "window", 6) == 0;
    const int total = window ? WindowTotal : ConsoleTotal;
    std::unique_ptr<GatewayClient> made = std::make_unique<BatchGateway>(total);
    PaneView view;
    view.pane.resize(433, 105);
    std::unique_ptr<Form1> form;
    QPushButton *receiveButton = nullptr;
    QPlainTextEdit *pane = &view.pane;
    if (std::strcmp(variant, "window") == 0) {
        form = std::make_unique<Form1>(handOver(made));
        form->show();
        receiveButton = form->findChild<QPushButton *>(u"Command7"_s);
        pane = form->findChild<QPlainTextEdit *>(u"RichTextBox1"_s);
        if (!receiveButton || !pane)
            return 1;
    } else {
        view.pane.show();
    }
    QCoreApplication::processEvents();
    const long before = currentRssKb();
    QElapsedTimer timer;
    qsizetype chars = 0;

    if (receiveButton) {
        timer.start();
        receiveButton->click();
        chars = pane->document()->characterCount();
    } else if (std::strcmp(variant, "console") == 0) {
        Console console(view, handOver(made));
        console.setReceiveCallLimit(ConsoleTotal / BatchSize);
        timer.start();
        console.press(u"Command7"_s); // 接收短信
        chars = view.pane.document()->characterCount();
    } else {
        timer.start();
        chars = appendListing(static_cast<BatchGateway &>(*made), total, view.pane);
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

    struct Series {
        const char *name;
        std::vector<double> ms;
        std::vector<double> kb;
        double chars = 0;
    };
    Series variants[] = { { "console", {}, {}, 0 },
                          { "appends", {}, {}, 0 },
                          { "window", {}, {}, 0 },
                          { "window-appends", {}, {}, 0 } };
    constexpr int Rounds = 5;
    for (int round = 0; round < Rounds; ++round) {
        for (Series &variant : variants) {
            const Sample sample = runChild(argv[0], variant.name);
            variant.ms.push_back(sample.ms);
            variant.kb.push_back(sample.extraKb);
            variant.chars = sample.chars;
        }
    }
    const auto report = [](const Series &measured, const Series &baseline, const char *what,
                           int total) {
        const double listingKb = measured.chars * 2 / 1024; // UTF-16
        const double mMs = median(measured.ms), bMs = median(baseline.ms);
        const double mKb = median(measured.kb), bKb = median(baseline.kb);
        std::printf("Receive of %d messages (%d batches of %d) %s, median of %d runs each\n", total,
                    total / BatchSize, BatchSize, what, Rounds);
        std::printf("  listing: %.0f characters (%.1f MiB as UTF-16)\n", measured.chars,
                    listingKb / 1024);
        std::printf("  %-16s %8.0f ms  peak extra memory %8.1f MiB\n", measured.name, mMs,
                    mKb / 1024);
        std::printf("  %-16s %8.0f ms  peak extra memory %8.1f MiB\n", "reserved appends", bMs,
                    bKb / 1024);
        std::printf("  time ratio %s / appends: %.2fx (goal <= 1.5x) -> %s\n", measured.name,
                    mMs / bMs, mMs / bMs <= 1.5 ? "within goal" : "OVER GOAL");
        std::printf("  extra memory beyond appends: %.1f MiB = %.2fx the listing (goal <= 2x)\n",
                    (mKb - bKb) / 1024, (mKb - bKb) / listingKb);
    };
    report(variants[0], variants[1], "through Console into the pane", ConsoleTotal);
    report(variants[2], variants[3], "by one press of Command7 in the window", WindowTotal);
    return 0;
}
