#pragma once

// `quillet-gateway backup FILE`: a consistent copy of an SQLite store, taken while
// consoles and services go on writing to it.
//
//   the store, opened read-only (never created, never migrated) ── VACUUM INTO a new
//   file beside FILE (mode 0600, empty) ── flushed to the disk ── linked as FILE, which
//   must not exist yet ── the folder flushed
//
// VACUUM INTO reads the whole store in one read transaction: in WAL mode writers go on
// meanwhile, and the copy holds exactly what was committed when it began, compacted.
// (SQLite's backup API restarts whenever another connection writes, and may not finish
// while a busy service writes; it would also need libsqlite3 beside Qt's driver.) A
// PostgreSQL store is copied with pg_dump instead.

#include "gateway/status.h"

#include <QString>

// `store` is an SQLite file; `file` where the copy goes. A failure says which file and why;
// nothing is left at `file` then.
Status backupStore(const QString &store, const QString &file);
