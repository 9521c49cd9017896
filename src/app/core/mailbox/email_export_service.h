#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "store/email_message.h"

namespace kestrova::app {

enum class ExportFormat { eml, text };

struct MessageContext;

// Saves one stored message as a file: an Internet message (.eml), which is always the
// message's whole original source (kept on this computer, or read from the server without
// marking it read) and never a partial rebuild, or a readable text file (.txt).
class EmailExportService {
 public:
  static std::string_view extension(ExportFormat format);  // ".eml", ".txt"

  // LF lines with localised labels, "---", then the plain body or the preview. A header
  // value with line breaks of its own (CR, LF) is written on its one line, each run of them
  // a space.
  static std::string buildText(const store::EmailMessage& message);
  // The subject with "/", "\", ":" and every control character (NUL, CR, LF, ...) made "_",
  // leading dots too (no hidden file), cut to kMaxFileStem bytes at a character boundary,
  // "message" when nothing is left, plus the extension. This is the name the file gets.
  static constexpr size_t kMaxFileStem = 200;
  static std::string suggestedFileName(const store::EmailMessage& message, ExportFormat format);

  // The file's content: the original source for .eml; for .txt the text of the message with
  // its body (decoded from the original source when it was never loaded). Throws Error
  // when the source or body cannot be had, before anything is written.
  static std::string content(MessageContext& context, ExportFormat format);
  // Writes `content` atomically (a temporary file beside it, then a rename), readable by
  // the owner only. An existing file is replaced only with `overwrite`; otherwise, and on a
  // write failure, throws Error (the failure is also logged).
  static void write(const std::string& content, const std::filesystem::path& destination,
                    bool overwrite);
  // content() then write().
  static void exportTo(MessageContext& context, ExportFormat format,
                       const std::filesystem::path& destination, bool overwrite);
};

}  // namespace kestrova::app
