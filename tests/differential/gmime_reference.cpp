#include "gmime_reference.h"

#include <gmime/gmime.h>

#include <mutex>
#include <string>

#include "util/c_free.h"
#include "util/text.h"

namespace kestrova::differential {

namespace {

template <typename T>
using GObjectPtr = CHandle<T, &g_object_unref>;
using GCharPtr = CHandle<char, &g_free>;

std::optional<std::string> non_empty(const char* s) {
  if (!s || !*s) return std::nullopt;
  return std::string(s);
}

std::string child_path(const std::string& container, int index) {
  return container.empty() ? std::to_string(index) : container + "." + std::to_string(index);
}

// Everything a GMime object's MIME header fields say that the rules look at.
struct PartFacts {
  std::string type;  // lower-case "type/subtype"
  bool typeWritten = false;
  bool attachmentDisposition = false;
  bool inlineOrNoDisposition = true;
  std::optional<std::string> filename;
  std::optional<std::string> contentId;
};

PartFacts facts_of(GMimeObject* object) {
  PartFacts facts;
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type) {
    const GCharPtr mime_type(g_mime_content_type_get_mime_type(type));
    if (mime_type) facts.type = text::lower(mime_type.get());
  }
  facts.typeWritten = g_mime_object_get_header(object, "Content-Type") != nullptr;
  if (GMimeContentDisposition* d = g_mime_object_get_content_disposition(object)) {
    facts.attachmentDisposition = g_mime_content_disposition_is_attachment(d);
    const char* name = g_mime_content_disposition_get_disposition(d);
    facts.inlineOrNoDisposition = name && g_ascii_strcasecmp(name, "inline") == 0;
  }
  facts.filename = non_empty(g_mime_object_get_content_disposition_parameter(object, "filename"));
  if (!facts.filename)
    facts.filename = non_empty(g_mime_object_get_content_type_parameter(object, "name"));
  facts.contentId = non_empty(g_mime_object_get_content_id(object));
  return facts;
}

// The bytes `write` puts into a memory stream.
template <typename Write>
std::string collect(Write write) {
  const GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new());
  write(stream.get());
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
  return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len)
               : std::string();
}

class ReferenceWalker {
 public:
  // `crlf`: the message writes its lines with CR LF, which the bytes of an attached message
  // are measured with (GMime writes LF by default).
  explicit ReferenceWalker(bool crlf) : format_(g_mime_format_options_new()) {
    g_mime_format_options_set_newline_format(
        format_.get(), crlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
  }

  void visit(GMimeObject* object, const std::string& number, bool nested) {
    if (GMIME_IS_MULTIPART(object)) {
      auto* multipart = GMIME_MULTIPART(object);
      const int count = g_mime_multipart_get_count(multipart);
      for (int i = 0; i < count; ++i)
        visit(g_mime_multipart_get_part(multipart, i), child_path(number, i + 1), nested);
      return;
    }
    const std::string own = number.empty() ? "1" : number;
    if (GMIME_IS_MESSAGE_PART(object)) {
      message_part(GMIME_MESSAGE_PART(object), own);
      return;
    }
    if (GMIME_IS_PART(object)) leaf(GMIME_PART(object), own, nested);
  }

  DecodedView finish() {
    if (!view_.textBody) view_.textBody = std::move(fallback_text_);
    if (!view_.htmlBody) view_.htmlBody = std::move(fallback_html_);
    return std::move(view_);
  }

 private:
  void message_part(GMimeMessagePart* part, const std::string& number) {
    auto* object = GMIME_OBJECT(part);
    const PartFacts facts = facts_of(object);
    GMimeMessage* message = g_mime_message_part_get_message(part);
    if (facts.attachmentDisposition || facts.filename) {
      std::string name = facts.filename.value_or("");
      if (name.empty() && message) {
        if (const char* subject = g_mime_message_get_subject(message)) {
          const std::string trimmed = text::trim(subject);
          if (!trimmed.empty()) name = trimmed + ".eml";
        }
      }
      if (name.empty()) name = "message.eml";
      const std::string bytes = message ? collect([&](GMimeStream* s) {
        g_mime_object_write_to_stream(GMIME_OBJECT(message), format_.get(), s);
      })
                                        : std::string();
      add_attachment(facts, number, name, facts.type, static_cast<int64_t>(bytes.size()));
      return;
    }
    if (!message) return;
    GMimeObject* inner = g_mime_message_get_mime_part(message);
    if (!inner) return;
    visit(inner, GMIME_IS_MULTIPART(inner) ? number : number + ".1", true);
  }

  void leaf(GMimePart* part, const std::string& number, bool nested) {
    auto* object = GMIME_OBJECT(part);
    const PartFacts facts = facts_of(object);
    const bool is_text = facts.type.rfind("text/", 0) == 0;
    const bool attachment = facts.attachmentDisposition || facts.filename || !is_text;
    if (attachment) {
      const std::string name = facts.filename    ? *facts.filename
                               : facts.contentId ? *facts.contentId
                                                 : "attachment";
      const std::string bytes = collect([&](GMimeStream* s) {
        if (GMimeDataWrapper* content = g_mime_part_get_content(part))
          g_mime_data_wrapper_write_to_stream(content, s);
      });
      add_attachment(facts, number, name,
                     facts.typeWritten ? facts.type : "application/octet-stream",
                     static_cast<int64_t>(bytes.size()));
      return;
    }
    std::optional<std::string>* slot = nullptr;
    if (facts.type == "text/plain") slot = nested ? &fallback_text_ : &view_.textBody;
    if (facts.type == "text/html") slot = nested ? &fallback_html_ : &view_.htmlBody;
    if (!slot || slot->has_value() || !GMIME_IS_TEXT_PART(object)) return;
    const GCharPtr text(g_mime_text_part_get_text(GMIME_TEXT_PART(object)));
    *slot = text ? std::string(text.get()) : std::string();
  }

  void add_attachment(const PartFacts& facts, const std::string& number, const std::string& name,
                      const std::string& type, int64_t size) {
    AttachmentView a;
    a.partPath = number;
    a.filename = name;
    a.mimeType = type;
    a.size = size;
    a.contentId = facts.contentId;
    a.isInline = facts.contentId.has_value() && facts.inlineOrNoDisposition;
    view_.attachments.push_back(std::move(a));
  }

  CHandle<GMimeFormatOptions, &g_mime_format_options_free> format_;
  DecodedView view_;
  std::optional<std::string> fallback_text_;
  std::optional<std::string> fallback_html_;
};

}  // namespace

DecodedView decode_with_gmime(std::string_view raw) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { g_mime_init(); });
  const GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
  const GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  const GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  const size_t eol = raw.find('\n');
  ReferenceWalker walker(eol != std::string_view::npos && eol > 0 && raw[eol - 1] == '\r');
  if (message)
    if (GMimeObject* root = g_mime_message_get_mime_part(message.get()))
      walker.visit(root, "", false);
  return walker.finish();
}

}  // namespace kestrova::differential
