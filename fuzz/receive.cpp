// Fuzz target: the console's receive commands reading what a gateway hands back.
//
// The input scripts a gateway: for each call a failure, or an outcome (any 16-bit
// value) with total, current and messages each null, a text or a table of any shape.
// Both receive buttons are pressed against it. Checked: a press makes at most the call
// limit's calls; it ends either with one error report (a failure code and a
// description) and no pane write, or with one pane write that starts with the receive
// header and no error report; the last result is the outcome of the last call made.

#include "console/console.h"
#include "console/consoletexts.h"
#include "fuzz/fuzzinput.h"
#include "tests/kit/fakegateway.h"
#include "tests/kit/fakeview.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

constexpr int CallLimit = 6;

QString someText(FuzzedDataProvider &input)
{
    // Counts are what the console reads from these texts: give numbers a fair chance.
    if (input.ConsumeBool())
        return QString::number(input.ConsumeIntegralInRange<int>(-3, 15));
    const std::string bytes = input.ConsumeRandomLengthString(12);
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

Variant someVariant(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        return Variant();
    case 1:
        return Variant(someText(input));
    default:
        break;
    }
    TextTable table(input.ConsumeIntegralInRange<qsizetype>(0, 12),
                    input.ConsumeIntegralInRange<qsizetype>(0, 6));
    for (qsizetype row = 0; row < table.rows(); ++row) {
        for (qsizetype column = 0; column < table.columns(); ++column)
            (void)table.set(row, column, someText(input));
    }
    return Variant(table);
}

QList<Reply> script(FuzzedDataProvider &input)
{
    QList<Reply> replies;
    while (replies.size() <= CallLimit && input.remaining_bytes() > 0) {
        if (input.ConsumeIntegralInRange<int>(0, 9) == 0) {
            replies.append(Reply::failure(Status::CreationFailed, u"scripted failure"_s));
            continue;
        }
        const auto outcome = input.ConsumeIntegral<Bool16>();
        Variant total = someVariant(input);
        Variant current = someVariant(input);
        replies.append(
            Reply::batch(outcome, std::move(total), std::move(current), someVariant(input)));
    }
    return replies;
}

void press(const QString &button, const QList<Reply> &replies, const QString &described)
{
    auto gateway = std::make_shared<GatewayScript>();
    gateway->replies = replies;
    FakeView view;
    Console console(view, gateway->factory());
    console.setReceiveCallLimit(CallLimit);
    console.press(button);

    require(gateway->calls.size() <= CallLimit, "a press makes at most the call limit's calls",
            described);
    const bool reported = view.errors.size() == 1 && view.outputs.isEmpty();
    const bool listed = view.errors.isEmpty() && view.outputs.size() == 1;
    require(reported || listed, "a press ends with one error report or one pane write", described);
    if (reported) {
        require(view.errors.first().failed() && !view.errors.first().description().isEmpty(),
                "an error report has a failure code and a description", described);
    } else {
        require(view.outputs.first().startsWith(ConsoleTexts::ReceiveHeader),
                "a listing starts with the receive header", described);
    }
    const qsizetype made = gateway->calls.size();
    if (made > 0 && made <= replies.size() && replies.at(made - 1).outcomeValue
        && replies.at(made - 1).status.isOk())
        require(console.lastResult() == *replies.at(made - 1).outcomeValue,
                "the last result is the last call's outcome", described);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QList<Reply> replies = script(input);
    const QString described = u"%1 scripted replies from %2 bytes"_s.arg(
        QString::number(replies.size()), QString::number(size));
    press(u"Command7"_s, replies, described);
    press(u"Command15"_s, replies, described);
    return 0;
}
