#include "support/maildir.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrova::testing {

namespace fs = std::filesystem;

namespace {

std::string ascii_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return s;
}

// The Maildir info suffix (":2," and the flag letters in ASCII order); empty for a message
// that goes to new/.
std::string info_suffix(const MessageFlags& flags) {
  if (!flags.seen && !flags.flagged) return "";
  return std::string(":2,") + (flags.flagged ? "F" : "") + (flags.seen ? "S" : "");
}

}  // namespace

std::string encode_modified_utf7(const std::string& utf8) {
  // The input is taken to be valid UTF-8 (folder names come from test code and options).
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (cp < 0x10000) {
      units.push_back(static_cast<char16_t>(cp));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
  std::string out;
  std::string bytes;  // pending UTF-16BE bytes of the current non-ASCII run
  auto flush = [&] {
    if (bytes.empty()) return;
    out += '&';
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char b : bytes) {
      bits = (bits << 8) | b;
      count += 8;
      while (count >= 6) out += kAlphabet[(bits >> (count -= 6)) & 0x3F];
    }
    if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
    out += '-';
    bytes.clear();
  };
  for (char16_t u : units) {
    if (u >= 0x20 && u <= 0x7E) {
      flush();
      out += u == '&' ? std::string("&-") : std::string(1, static_cast<char>(u));
    } else {
      bytes += static_cast<char>(u >> 8);
      bytes += static_cast<char>(u & 0xFF);
    }
  }
  flush();
  return out;
}

fs::path maildir_folder(const fs::path& maildir, const std::string& folder) {
  if (ascii_lower(folder) == "inbox") return maildir;
  std::string name = folder;
  std::replace(name.begin(), name.end(), '/', '.');
  return maildir / ("." + encode_modified_utf7(name));
}

void write_maildir_messages(const fs::path& maildir, const std::string& folder,
                            const std::vector<MaildirMessage>& messages,
                            const MaildirOwner& owner) {
  const fs::path box = maildir_folder(maildir, folder);
  const bool give_away = owner.uid >= 0 && static_cast<uid_t>(owner.uid) != geteuid();
  auto own = [&](const fs::path& path) {
    if (give_away && chown(path.c_str(), owner.uid, owner.gid) != 0)
      throw std::runtime_error("cannot hand " + path.string() + " to uid " +
                               std::to_string(owner.uid));
  };
  // Parents of the Maildir first, so that a fresh home belongs to the mail user too.
  std::vector<fs::path> missing;
  for (fs::path dir = maildir; !dir.empty() && !fs::exists(dir); dir = dir.parent_path())
    missing.push_back(dir);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (fs::create_directory(*it)) own(*it);
  for (const fs::path& dir : {maildir / "cur", maildir / "new", maildir / "tmp", box, box / "cur",
                              box / "new", box / "tmp"})
    if (fs::create_directory(dir)) own(dir);

  // Dovecot hands out UIDs in file-name order: fixed-width numbers keep it the order of
  // delivery, within one call and across calls.
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char stamp[64];
  std::snprintf(
      stamp, sizeof stamp, "%lld.M%06lldP%dQ",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now).count()),
      static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count() %
                             1000000),
      static_cast<int>(getpid()));
  for (const MaildirMessage& message : messages) {
    char number[24];
    std::snprintf(number, sizeof number, "%010llu", static_cast<unsigned long long>(++counter));
    const std::string name = stamp + std::string(number) + ".kestrova-test";
    const fs::path staged = box / "tmp" / name;
    {
      std::ofstream out(staged, std::ios::binary);
      out.write(message.raw.data(), static_cast<std::streamsize>(message.raw.size()));
      if (!out.flush()) throw std::runtime_error("cannot write " + staged.string());
    }
    own(staged);
    if (message.receivedAt) {
      const timeval times[2] = {{static_cast<time_t>(*message.receivedAt), 0},
                                {static_cast<time_t>(*message.receivedAt), 0}};
      if (utimes(staged.c_str(), times) != 0)
        throw std::runtime_error("cannot date " + staged.string());
    }
    const std::string info = info_suffix(message.flags);
    fs::rename(staged, info.empty() ? box / "new" / name : box / "cur" / (name + info));
  }
}

std::vector<std::string> read_maildir_messages(const fs::path& maildir, const std::string& folder) {
  const fs::path box = maildir_folder(maildir, folder);
  std::vector<fs::path> files;
  for (const char* sub : {"new", "cur"}) {
    if (!fs::is_directory(box / sub)) continue;
    for (const auto& entry : fs::directory_iterator(box / sub))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  std::vector<std::string> raws;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    raws.push_back(text.str());
  }
  return raws;
}

}  // namespace kestrova::testing
