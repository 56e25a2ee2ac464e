// What each engine provides to database.cpp: open, close and one statement.
#pragma once

#include "history/database.h"

struct HistoryEngineHooks {
    const char* name;
    void (*close)(void* handle);
    int (*exec)(void* handle, const std::string& sql, const std::vector<DbValue>& params,
                std::vector<DbRow>* rows, std::string& error);
    // A statement that may run later (null: exec serves).
    int (*queue)(void* handle, const std::string& sql, const std::vector<DbValue>& params,
                 std::string& error);
};

struct HistoryDatabase {
    const HistoryEngineHooks* hooks = nullptr;
    void* handle = nullptr;
};

// Each returns 0, 1 (the engine refused, error says why) or 2 (a target that
// does not parse).
int SqliteOpen(const std::string& path, HistoryDatabase& db, std::string& error);
int PostgresOpen(const std::string& uri, HistoryDatabase& db, std::string& error);
