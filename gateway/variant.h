#pragma once

#include "gateway/status.h"

#include <QList>
#include <QString>

#include <variant>

// A rectangular table of texts, rows x columns, both indexed from 0. Its cells are
// implicitly shared: copies are cheap and independent.
class TextTable {
public:
    // The most cells a table may have; larger sizes are refused rather than allocated.
    static constexpr qsizetype MaxCells = qsizetype(1) << 24;

    TextTable() = default;
    // A rows x columns table of empty texts. A size that make() refuses gives the empty
    // 0 x 0 table; call make() to learn why.
    TextTable(qsizetype rows, qsizetype columns);
    // A rows x columns table of empty texts into table, or a failure (and table left as
    // it was) for a negative size or more than MaxCells cells.
    static Status make(qsizetype rows, qsizetype columns, TextTable &table);

    qsizetype rows() const { return m_rows; }
    qsizetype columns() const { return m_columns; }

    // The cell at (row, column), or a "subscript out of range" failure.
    Status at(qsizetype row, qsizetype column, QString &text) const;
    // Writes the cell; false (and nothing written) when it lies outside the table.
    bool set(qsizetype row, qsizetype column, QString text);

    friend bool operator==(const TextTable &, const TextTable &) = default;

private:
    qsizetype m_rows = 0;
    qsizetype m_columns = 0;
    QList<QString> m_cells; // row-major
};

// A dynamically typed value as the receive operations exchange it: null, a text, or
// a table of texts. Reading a kind that is not there is a "type mismatch" failure.
class Variant {
public:
    enum class Kind { Null, Text, Table };

    Variant() = default;
    Variant(QString text)
        : m_value(std::move(text))
    {
    }
    Variant(TextTable table)
        : m_value(std::move(table))
    {
    }

    Kind kind() const { return static_cast<Kind>(m_value.index()); }
    bool isNull() const { return kind() == Kind::Null; }

    // Null reads as the empty text; a table is a type mismatch.
    Status toText(QString &text) const;
    // Only a table reads as a table; the caller gets its own copy (cheap: the cells are
    // shared until one side writes), so nothing it holds can dangle when this Variant
    // changes. On failure the table is left as it was.
    Status toTable(TextTable &table) const;

    friend bool operator==(const Variant &, const Variant &) = default;

private:
    std::variant<std::monostate, QString, TextTable> m_value;
};
