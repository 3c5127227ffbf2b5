#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvr::server {

class SqlStore;

// The rows of each table copied, in the order they were copied.
struct CopiedTables {
  std::vector<std::pair<std::string, long long>> tables;
  // The rows copied of table (upper case), 0 for a table not copied.
  long long Rows(const std::string& table) const;
};

// Copies every table of source into target, whose tables must all be empty
// (its own schema version table aside), within one read snapshot of source
// and one write transaction of target. The tables are those source's
// catalogue holds, so a table added to the schema is copied without being
// named here; their rows keep their numbers (statements, movements, trail
// rows), and target numbers new ones after the highest copied, and after
// every statement number the trail names. Before the commit every table's
// row count is compared on both sides. Throws EDatabaseError, storing
// nothing, when target holds rows, when a table of source is missing in
// target or differs in its columns, when a count differs (naming the
// table), or when anything fails. Both stores must be at the same schema
// version (open ones are).
CopiedTables CopyTables(SqlStore& source, SqlStore& target);

}  // namespace kvr::server
