#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "store/email_message.h"

namespace kestrova::app {

enum class ExportFormat { eml, text };

// Saves one stored message as a file, from the stored record alone (no server contact):
// an Internet message (.eml) or a readable text file (.txt).
class EmailExportService {
 public:
  static std::string_view extension(ExportFormat format);  // ".eml", ".txt"

  // CR LF lines: From, To, Cc (when any), Subject, Date, Message-ID (when known),
  // MIME-Version, then the HTML body as quoted-printable or else the plain body as it is.
  static std::string buildEML(const store::EmailMessage& message);
  // LF lines with localised labels, "---", then the plain body or the preview.
  static std::string buildText(const store::EmailMessage& message);
  // The subject with "/", "\" and ":" made "_", plus the extension.
  static std::string suggestedFileName(const store::EmailMessage& message, ExportFormat format);

  // Writes the file atomically (a temporary file beside it, then a rename). An existing
  // file is replaced only with `overwrite`; otherwise, and on a write failure, throws
  // Error (the failure is also logged).
  static void exportTo(const store::EmailMessage& message, ExportFormat format,
                       const std::filesystem::path& destination, bool overwrite);
};

}  // namespace kestrova::app
