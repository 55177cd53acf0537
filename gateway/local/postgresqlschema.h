#pragma once

// The local gateway's store on PostgreSQL: its schema, step by step, and the rights of
// the role the gateway runs as.
//
//   init (the schema's owner) ── version 1, then each migration ── grants(role)
//   Store::open (any role) ───── checks meta.schema_version; creates the schema only
//                                where it is missing and this role may create it
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

// The statements that create version 1 (inside the schema, which exists), in order.
QStringList version1();
// The statements that move a store from `fromVersion` to the next; empty when there
// is no such step.
QStringList migration(int fromVersion);
// Every privilege `role` needs to run the gateway, and nothing more: no DDL, no change
// of a balance other than through the ledger, no update or delete of ledger rows.
QStringList grants(const QString &role);

} // namespace PostgresqlSchema
