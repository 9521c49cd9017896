#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kestrova::app {

// One ready-made signature design. The HTML designs are e-mail-safe tables with inline
// styles; every line that holds a placeholder other than {{name}} and {{email}} is a row,
// cell or division of its own, so that rendering can drop the lines left unfilled.
struct EmailSignatureTemplate {
  std::string_view id;
  std::string_view name;
  std::string_view description;
  std::string_view content;
  bool isHtml = true;
};

// The seventeen designs, in catalogue order: fourteen HTML, then three plain text.
std::span<const EmailSignatureTemplate> email_signature_templates();
// Nothing-found is a null pointer.
const EmailSignatureTemplate* find_signature_template(std::string_view id);
// The design's name and description in the interface language (the catalogue keeps the
// Chinese ones).
std::string display_name(const EmailSignatureTemplate& design);
std::string display_description(const EmailSignatureTemplate& design);

}  // namespace kestrova::app
