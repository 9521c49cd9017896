#include "platform/digest.h"

#include <glib.h>

#include <cstdio>

#include "util/c_free.h"

namespace kestrova::platform {

namespace {
using ChecksumPtr = CHandle<GChecksum, &g_checksum_free>;
}  // namespace

std::string sha256_hex(std::string_view bytes) {
  ChecksumPtr checksum(g_checksum_new(G_CHECKSUM_SHA256));
  if (!checksum) return {};
  g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(bytes.data()),
                    static_cast<gssize>(bytes.size()));
  guint8 digest[32];
  gsize length = sizeof digest;
  g_checksum_get_digest(checksum.get(), digest, &length);
  std::string hex;
  hex.reserve(length * 2);
  for (gsize i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace kestrova::platform
