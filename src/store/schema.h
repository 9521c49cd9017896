#pragma once

namespace kestrova::store {

class Connection;

// Creates every table and index that is missing and upgrades tables written by older
// versions, then records the schema version in the file. Idempotent; runs inside the
// opening write transaction when the file's schema is not current.
void build_schema(Connection& c);

// True when the file records the schema version this build creates, or a later one (a newer
// build has already done everything this one would). Only reads.
bool schema_is_current(Connection& c);

}  // namespace kestrova::store
