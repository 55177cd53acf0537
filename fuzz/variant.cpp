// Fuzz target: the receive operations' values (Variant, TextTable).
//
// The input is a table size and a run of writes and reads at any position. Checked
// against a plain map of what was written: a read inside the table gives the last text
// written there (empty when none), a read outside fails with "subscript out of range"
// and leaves the caller's text; a write outside changes nothing. A Variant reads only
// as the kind it holds; a failed read leaves the caller's value.

#include "variant.h"
#include "fuzzinput.h"

#include <QHash>

#include <fuzzer/FuzzedDataProvider.h>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

// A position near the table most of the time, anywhere at all otherwise.
qsizetype position(FuzzedDataProvider &input)
{
    if (input.ConsumeBool())
        return input.ConsumeIntegral<qsizetype>();
    return input.ConsumeIntegralInRange<qsizetype>(-3, 45);
}

QString someText(FuzzedDataProvider &input)
{
    const std::string bytes = input.ConsumeRandomLengthString(16);
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

void checkVariantKinds(const TextTable &table, const QString &text)
{
    const QString kept = u"kept"_s;
    const TextTable keptTable(1, 1);
    const TextTable *read = &keptTable;
    QString out = kept;

    const Variant ofTable(table);
    require(ofTable.toText(out).code() == Status::TypeMismatch && out == kept,
            "a table read as text is a type mismatch that leaves the text", text);
    require(ofTable.toTable(read).isOk() && read && *read == table,
            "a table reads as the same table", text);

    const Variant ofText(text);
    read = &keptTable;
    require(ofText.toTable(read).code() == Status::TypeMismatch && read == &keptTable,
            "a text read as a table is a type mismatch that leaves the table", text);
    require(ofText.toText(out).isOk() && out == text, "a text reads as the same text", text);

    const Variant null;
    require(null.toTable(read).code() == Status::TypeMismatch && read == &keptTable,
            "null read as a table is a type mismatch that leaves the table", text);
    require(null.toText(out).isOk() && out.isEmpty(), "null reads as the empty text", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qsizetype rows = input.ConsumeIntegralInRange<qsizetype>(-2, 40);
    const qsizetype columns = input.ConsumeIntegralInRange<qsizetype>(-2, 40);
    TextTable table(rows, columns);
    require(table.rows() == qMax<qsizetype>(rows, 0)
                && table.columns() == qMax<qsizetype>(columns, 0),
            "a table has the size it was made with, negative sizes empty", QString());

    QHash<QPair<qsizetype, qsizetype>, QString> written;
    while (input.remaining_bytes() > 0) {
        const qsizetype row = position(input);
        const qsizetype column = position(input);
        const bool inside
            = row >= 0 && row < table.rows() && column >= 0 && column < table.columns();
        const QString where
            = u"(%1, %2) in %3 x %4"_s.arg(row).arg(column).arg(table.rows()).arg(table.columns());
        if (input.ConsumeBool()) {
            const QString text = someText(input);
            const TextTable before = table;
            const bool stored = table.set(row, column, text);
            require(stored == inside, "a write succeeds exactly inside the table", where);
            if (stored)
                written.insert({ row, column }, text);
            else
                require(table == before, "a write outside the table changes nothing", where);
        } else {
            QString out = u"kept"_s;
            const Status status = table.at(row, column, out);
            if (inside) {
                require(status.isOk() && out == written.value({ row, column }),
                        "a read inside the table gives the last text written there", where);
            } else {
                require(status.code() == Status::SubscriptOutOfRange && out == u"kept"_s
                            && !status.description().isEmpty(),
                        "a read outside the table fails cleanly and leaves the text", where);
            }
        }
    }
    checkVariantKinds(table, written.value({ 0, 0 }));
    return 0;
}
