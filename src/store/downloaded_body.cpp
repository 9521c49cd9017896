#include "store/downloaded_body.h"

#include "store/database.h"
#include "store/email_store_sql.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kWriteBody =
    "UPDATE email_messages SET text_body = ?, html_body = ?, contains_remote_resources = ?, "
    "has_attachments = MAX(has_attachments, ?), "
    "preview = CASE WHEN preview IS NULL OR preview = '' THEN ? ELSE preview END, "
    "is_read = MAX(is_read, ?), is_body_loaded = 1, body_cached_at = ?, updated_at = ? "
    "WHERE id = ?";

}  // namespace

size_t save_downloaded_bodies(EmailDatabase& database, const std::vector<EmailMessage>& downloaded,
                              bool markRead) {
  if (downloaded.empty()) return 0;
  const double now = now_seconds();
  return database.write([&](Connection& c) {
    size_t written = 0;
    for (const auto& m : downloaded) {
      const std::string preview = m.textBody ? text::prefix_characters(text::trim(*m.textBody),
                                                                       EmailMessage::kPreviewLength)
                                             : std::string();
      c.prepare(kWriteBody)
          .bind_all(m.textBody, m.htmlBody, m.containsRemoteResources, m.hasAttachments, preview,
                    markRead, now, now, m.id)
          .run();
      if (c.changes() == 0) continue;
      ++written;
      c.prepare(sql::kDeleteAttachments).bind(1, m.id).run();
      for (const auto& a : m.attachments)
        c.prepare(sql::kInsertAttachment)
            .bind_all(a.id, m.id, a.filename, a.mimeType, a.size, a.contentId, a.isInline,
                      a.localPath, a.partPath, a.encoding, a.charset)
            .run();
    }
    return written;
  });
}

}  // namespace kestrova::store
