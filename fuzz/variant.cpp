// Fuzz target: the receive operations' values (Variant, TextTable).
//
// The input is a table size (any size at all, or one near the tables gateways hand
// over) and a run of writes and reads at any position. Checked: a size is refused
// exactly when it is negative or has more than MaxCells cells (a product that
// overflows included), with a failure that leaves the caller's table; reads and
// writes are checked against a plain map of what was written: a read inside gives the
// last text written there (empty when none), a read outside fails with "subscript out
// of range" and leaves the caller's text, a write outside changes nothing. A Variant
// reads only as the kind it holds, a failed read leaves the caller's value, and a
// table read out of a Variant stays as it was when the Variant or the copy changes.

#include "gateway/variant.h"
#include "fuzz/fuzzinput.h"

#include <QHash>

#include <fuzzer/FuzzedDataProvider.h>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

// Tables this small are made and written; larger accepted sizes are only judged.
constexpr qsizetype MaxBuiltCells = 4096;

// Any value some of the time, one near a table's edge otherwise.
qsizetype anyOrNear(FuzzedDataProvider &input)
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

QString sizeText(qsizetype rows, qsizetype columns)
{
    return u"%1 x %2"_s.arg(QString::number(rows), QString::number(columns));
}

// Whether rows x columns is an acceptable size, worked out in 128 bits.
bool acceptable(qsizetype rows, qsizetype columns)
{
    return rows >= 0 && columns >= 0
        && static_cast<__int128>(rows) * columns <= static_cast<__int128>(TextTable::MaxCells);
}

// A table of the given size through make(), or nothing when it is refused or too large
// to build here.
std::optional<TextTable> madeTable(qsizetype rows, qsizetype columns)
{
    const QString size = sizeText(rows, columns);
    const bool accepted = acceptable(rows, columns);
    if (accepted && rows * columns > MaxBuiltCells)
        return std::nullopt;

    TextTable kept(1, 1);
    (void)kept.set(0, 0, u"kept"_s);
    const TextTable before = kept;
    const Status status = TextTable::make(rows, columns, kept);
    if (!accepted) {
        require(status.code() == Status::InvalidArgument && !status.description().isEmpty()
                    && kept == before,
                "a refused size fails cleanly and leaves the caller's table", size);
        require(TextTable(rows, columns) == TextTable(), "a refused size constructs empty", size);
        return std::nullopt;
    }
    require(status.isOk() && kept.rows() == rows && kept.columns() == columns,
            "an accepted size makes a table of that size", size);
    require(TextTable(rows, columns) == kept, "constructing gives what make() gives", size);
    return kept;
}

void checkVariantKinds(const TextTable &table, const QString &text)
{
    const QString kept = u"kept"_s;
    TextTable keptTable(1, 1);
    (void)keptTable.set(0, 0, kept);
    const TextTable before = keptTable;
    QString out = kept;
    TextTable read = keptTable;

    Variant value(table);
    require(value.toText(out).code() == Status::TypeMismatch && out == kept,
            "a table read as text is a type mismatch that leaves the text", text);
    require(value.toTable(read).isOk() && read == table, "a table reads as the same table", text);
    value = Variant(text);
    require(read == table, "a table read out stays when the Variant changes", text);
    (void)read.set(0, 0, u"changed"_s);
    TextTable again = keptTable;
    require(Variant(table).toTable(again).isOk() && again == table,
            "changing a table read out leaves the Variant's", text);

    read = keptTable;
    require(value.toTable(read).code() == Status::TypeMismatch && read == before,
            "a text read as a table is a type mismatch that leaves the table", text);
    require(value.toText(out).isOk() && out == text, "a text reads as the same text", text);

    const Variant null;
    require(null.toTable(read).code() == Status::TypeMismatch && read == before,
            "null read as a table is a type mismatch that leaves the table", text);
    require(null.toText(out).isOk() && out.isEmpty(), "null reads as the empty text", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qsizetype rows = anyOrNear(input);
    const qsizetype columns = anyOrNear(input);
    std::optional<TextTable> made = madeTable(rows, columns);
    if (!made)
        return 0;
    TextTable &table = *made;

    QHash<QPair<qsizetype, qsizetype>, QString> written;
    while (input.remaining_bytes() > 0) {
        const qsizetype row = anyOrNear(input);
        const qsizetype column = anyOrNear(input);
        const bool inside = row >= 0 && row < rows && column >= 0 && column < columns;
        const QString where = u"(%1, %2) in "_s.arg(QString::number(row), QString::number(column))
            + sizeText(rows, columns);
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
