#include "variant.h"

#include "gatewaytexts.h"

TextTable::TextTable(qsizetype rows, qsizetype columns)
    : m_rows(qMax<qsizetype>(rows, 0))
    , m_columns(qMax<qsizetype>(columns, 0))
{
    m_cells.resize(m_rows * m_columns);
}

Status TextTable::at(qsizetype row, qsizetype column, QString &text) const
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return Status::failure(Status::SubscriptOutOfRange,
                               GatewayTexts::subscriptOutOfRange(row, column, m_rows, m_columns));
    text = m_cells.at(row * m_columns + column);
    return Status::ok();
}

bool TextTable::set(qsizetype row, qsizetype column, QString text)
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return false;
    m_cells[row * m_columns + column] = std::move(text);
    return true;
}

Status Variant::toText(QString &text) const
{
    switch (kind()) {
    case Kind::Null:
        text.clear();
        return Status::ok();
    case Kind::Text:
        text = std::get<QString>(m_value);
        return Status::ok();
    case Kind::Table:
        break;
    }
    return Status::failure(Status::TypeMismatch,
                           GatewayTexts::typeMismatch(GatewayTexts::textKind()));
}

Status Variant::toTable(const TextTable *&table) const
{
    if (const auto *found = std::get_if<TextTable>(&m_value)) {
        table = found;
        return Status::ok();
    }
    return Status::failure(Status::TypeMismatch,
                           GatewayTexts::typeMismatch(GatewayTexts::tableKind()));
}
