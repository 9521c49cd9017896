#include "decoded_view.h"

#include <algorithm>
#include <cstdio>

namespace kestrova::differential {

namespace {

// Bytes shown on each side of the first difference of two bodies.
constexpr size_t kExcerpt = 40;

// `s` with control characters escaped (C1 controls, U+0080-U+009F, too), so a detail stays
// one line and shows what a terminal would hide.
std::string printable(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const auto byte = static_cast<unsigned char>(c);
    const auto next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", next);
      out += buf;
      ++i;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", byte);
      out += buf;
    } else {
      out.push_back(c);  // UTF-8 sequences stay readable on a UTF-8 terminal
    }
  }
  return out;
}

// The excerpt of `s` around `at`, widened so that it does not cut a UTF-8 sequence.
std::string excerpt(std::string_view s, size_t at) {
  size_t begin = at > kExcerpt ? at - kExcerpt : 0;
  size_t end = std::min(s.size(), at + kExcerpt);
  auto continuation = [&](size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
  while (begin > 0 && continuation(begin)) --begin;
  while (end < s.size() && continuation(end)) ++end;
  return (begin > 0 ? "…" : "") + printable(s.substr(begin, end - begin)) +
         (end < s.size() ? "…" : "");
}

std::optional<FieldDifference> compare_body(std::string_view field,
                                            const std::optional<std::string>& ours,
                                            const std::optional<std::string>& reference) {
  if (!ours && !reference) return std::nullopt;
  if (!ours || !reference) {
    auto side = [](const std::optional<std::string>& body) {
      return body ? std::to_string(body->size()) + " bytes" : std::string("none");
    };
    return FieldDifference{std::string(field), "ours " + side(ours) + ", gmime " + side(reference)};
  }
  const std::string a = normalise_body(*ours);
  const std::string b = normalise_body(*reference);
  if (a == b) return std::nullopt;
  const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const auto at = static_cast<size_t>(mismatch.first - a.begin());
  return FieldDifference{std::string(field), "at byte " + std::to_string(at) + ": ours \"" +
                                                 excerpt(a, at) + "\", gmime \"" + excerpt(b, at) +
                                                 "\""};
}

std::string describe(const std::vector<AttachmentView>& list) {
  std::string out = "[";
  for (const auto& a : list) {
    if (out.size() > 1) out += ", ";
    out +=
        a.partPath + " " + printable(a.filename) + " " + a.mimeType + " " + std::to_string(a.size);
    if (a.contentId) out += " cid=" + printable(*a.contentId);
    if (a.isInline) out += " inline";
  }
  return out + "]";
}

bool same_attachment(const AttachmentView& a, const AttachmentView& b) {
  return a.partPath == b.partPath && a.filename == b.filename && a.mimeType == b.mimeType &&
         a.size == b.size && a.contentId == b.contentId && a.isInline == b.isInline;
}

}  // namespace

DecodedView view_of(const mail::EmailBodyContent& content) {
  DecodedView view;
  view.textBody = content.textBody;
  view.htmlBody = content.htmlBody;
  for (const auto& a : content.attachments)
    view.attachments.push_back(
        {a.partPath, a.filename, a.mimeType, a.size, a.contentId, a.isInline});
  return view;
}

std::string normalise_body(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  size_t line_end = 0;  // length of `out` without the white space ending the current line
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\r') {
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
      c = '\n';
    }
    if (c == '\n') {
      out.resize(line_end);
      out.push_back('\n');
      line_end = out.size();
      continue;
    }
    out.push_back(c);
    if (c != ' ' && c != '\t') line_end = out.size();
  }
  out.resize(line_end);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::vector<FieldDifference> compare_views(const DecodedView& ours, const DecodedView& reference) {
  std::vector<FieldDifference> out;
  if (auto d = compare_body("text", ours.textBody, reference.textBody))
    out.push_back(std::move(*d));
  if (auto d = compare_body("html", ours.htmlBody, reference.htmlBody))
    out.push_back(std::move(*d));
  if (!std::equal(ours.attachments.begin(), ours.attachments.end(), reference.attachments.begin(),
                  reference.attachments.end(), same_attachment))
    out.push_back({"attachments", "ours " + describe(ours.attachments) + ", gmime " +
                                      describe(reference.attachments)});
  return out;
}

}  // namespace kestrova::differential
