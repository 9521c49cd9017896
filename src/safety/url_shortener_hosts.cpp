#include "safety/url_shortener_hosts.h"

namespace kestrova::safety {

const std::unordered_set<std::string>& url_shortener_hosts() {
  static const std::unordered_set<std::string> hosts{
      // Global services.
      "bit.ly", "t.co", "tinyurl.com", "goo.gl", "ow.ly", "is.gd", "buff.ly", "rebrand.ly",
      "cutt.ly", "shorturl.at", "tiny.cc", "rb.gy", "v.gd", "t.ly", "lnkd.in", "s.id",
      // Chinese services.
      "t.cn", "url.cn", "dwz.cn", "suo.im", "mrw.so", "sina.lt"};
  return hosts;
}

}  // namespace kestrova::safety
