#pragma once

// The local gateway's store on PostgreSQL: its schema, step by step, and the rights of
// the role the gateway runs as.
//
//   init (the schema's owner) ── Schema ── version 1, then each migration ── Grants(role)
//   Store::open (any role) ───── checks meta.schema_version; creates the schema only in
//                                an empty database it may create in
//
// Everything lives in the schema `quillet`. Money is bigint fen, times are timestamptz
// (UTC), and a balance changes only through a ledger row: a trigger applies the row, and
// a second trigger refuses any other change of a balance, even by the owner.

#include <QString>
#include <QStringList>

namespace PostgresqlSchema {

inline const QString Name = QStringLiteral("quillet");
// The group role `init` creates and grants; login roles join it.
inline const QString RuntimeRole = QStringLiteral("quillet_gateway");

// The statements that create version 1, in order, in one transaction.
QStringList version1();
// Every privilege `role` needs to run the gateway, and nothing more: no DDL, no change
// of a balance other than through the ledger, no update or delete of ledger rows.
QStringList grants(const QString &role);

} // namespace PostgresqlSchema
