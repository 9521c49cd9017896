#include "platform/content_type.h"

#include <gio/gio.h>

#include <algorithm>
#include <memory>

#include "util/c_free.h"

namespace kestrova::platform {

std::string guess_mime_type(std::string_view fileName, std::string_view data) {
  constexpr std::string_view kFallback = "application/octet-stream";
  const std::string name(fileName);
  // A few kilobytes are enough for every magic rule of the shared MIME database.
  const size_t sniffed = std::min<size_t>(data.size(), 4096);
  gboolean uncertain = FALSE;
  std::unique_ptr<gchar, CFree<&g_free>> type(g_content_type_guess(
      name.empty() ? nullptr : name.c_str(),
      sniffed ? reinterpret_cast<const guchar*>(data.data()) : nullptr, sniffed, &uncertain));
  if (!type) return std::string(kFallback);
  std::unique_ptr<gchar, CFree<&g_free>> mime(g_content_type_get_mime_type(type.get()));
  if (!mime) return std::string(kFallback);
  return mime.get();
}

}  // namespace kestrova::platform
