// The history's tables, made and upgraded by numbered migrations that the
// database records (table history_schema, one row per migration applied).
#pragma once

#include <string>

#include "history/database.h"

// The newest schema this program knows.
int HistorySchemaVersion();

// Applies every migration the database has not had, each in a transaction.
// Returns 0; 2 when the database was written by a newer program (error says
// which versions); 1 for the database's own failure.
int MigrateHistory(HistoryDatabase* db, std::string& error);
