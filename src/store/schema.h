#pragma once

namespace kestrova::store {

class Connection;

// Creates every table and index that is missing and upgrades tables written by older
// versions. Idempotent: run inside the opening transaction on every open.
void build_schema(Connection& c);

}  // namespace kestrova::store
