#pragma once

#include "status.h"

#include <QList>
#include <QString>

#include <variant>

// A rectangular table of texts, rows x columns, both indexed from 0.
class TextTable {
public:
    TextTable() = default;
    TextTable(qsizetype rows, qsizetype columns);

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
    // Only a table reads as a table.
    Status toTable(const TextTable *&table) const;

    friend bool operator==(const Variant &, const Variant &) = default;

private:
    std::variant<std::monostate, QString, TextTable> m_value;
};
