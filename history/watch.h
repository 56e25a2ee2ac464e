// Following the stations' results files as they grow.
#pragma once

#include <string>
#include <vector>

// Imports, every `interval` seconds until interrupted (or after `rounds`
// rounds when rounds > 0), what is new in the results files (*.jsonl) of the
// folders: only whole lines, a file that was rotated (another file under the
// name, or a shorter one) read from its start. With the database away it
// says so once, tries again next round and loses nothing: the results file
// is the outbox. Returns 0 when interrupted, 2 for a bad folder.
int WatchFolders(const std::string& url, const std::vector<std::string>& folders, int interval,
                 int rounds);
