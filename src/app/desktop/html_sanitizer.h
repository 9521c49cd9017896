#pragma once

#include <set>
#include <string>
#include <string_view>

namespace kestrova::app::desktop {

// Mail HTML made safe for the reading pane. An allow-list of elements and attributes: what
// is not on it is dropped, either with its content (scripts, styles, frames, forms' fields,
// embedded objects, the document head) or keeping its content (unknown elements, forms,
// buttons). Event handlers and every attribute not listed go; links keep only web and mail
// addresses; inline styles keep only the properties the view draws, and never a url(),
// expression() or escape; external style sheets and <base> go. Remote images are replaced
// by their alternative text unless loading them is allowed; a tracking pixel (an image of at
// most one pixel, or a hidden one) and an image on a host named in `trackerHosts` are never
// kept. Embedded images (cid: and data:image/) stay.
//
// Character references in text are passed through; in attribute values they are decoded
// before any check and the value is written back escaped. Any input is tolerated (never
// throws); the output is always well-formed enough that no tag of the input survives
// unless it was allowed. Stateless and thread-safe.
class HtmlSanitizer {
 public:
  enum class RemoteImages { block, allow };
  struct Options {
    RemoteImages remoteImages = RemoteImages::block;
    std::set<std::string> trackerHosts;  // lower-case host names
  };
  struct Result {
    std::string html;
    int blockedRemoteImages = 0;  // remote images left out because loading is not allowed
    int droppedTrackers = 0;      // tracking pixels and images of tracker hosts left out
  };

  static Result sanitize(std::string_view html, const Options& options);
  static Result sanitize(std::string_view html) { return sanitize(html, Options{}); }

  // Plain-text mail as HTML for the same view: every line kept (runs of blank lines folded
  // to one with `compactBlankLines`), quoted lines ("> ...") set apart by depth, web
  // addresses made links, everything else escaped.
  static std::string plain_text_html(std::string_view text, bool compactBlankLines);

  // The host of an absolute web address, lower-cased; empty when there is none.
  static std::string host_of(std::string_view url);
};

}  // namespace kestrova::app::desktop
