#include "gateway/variant.h"

#include "gateway/gatewaytexts.h"

namespace {

// Whether rows x columns is a size a table may have: neither negative, and a product that
// neither overflows nor exceeds the cell limit.
bool isAcceptedSize(qsizetype rows, qsizetype columns)
{
    if (rows < 0 || columns < 0)
        return false;
    qsizetype cells = 0;
    if (qMulOverflow(rows, columns, &cells))
        return false;
    return cells <= TextTable::MaxCells;
}

} // namespace

TextTable::TextTable(qsizetype rows, qsizetype columns)
{
    if (!isAcceptedSize(rows, columns))
        return;
    m_rows = rows;
    m_columns = columns;
    m_cells.resize(m_rows * m_columns);
}

Status TextTable::make(qsizetype rows, qsizetype columns, TextTable &table)
{
    if (!isAcceptedSize(rows, columns))
        return Status::failure(Status::InvalidArgument,
                               GatewayTexts::tableSizeRefused(rows, columns, MaxCells));
    table = TextTable(rows, columns);
    return Status::ok();
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

Status Variant::toTable(TextTable &table) const
{
    if (const auto *found = std::get_if<TextTable>(&m_value)) {
        table = *found;
        return Status::ok();
    }
    return Status::failure(Status::TypeMismatch,
                           GatewayTexts::typeMismatch(GatewayTexts::tableKind()));
}
