// kestrova-mime-differential: decodes every .eml file of the given directories with
// EmailContentDecoder and with GMime (gmime_reference.h) and compares the text body, the
// HTML body and the attachment list. Prints one line per message and a summary line with
// the agreement rate.
//
// Disagreements that are understood are listed in a known-differences file, one per line:
//   <file> <field>: <explanation>
// where <file> is the message's file name (shell wildcards allowed) and <field> is "text",
// "html" or "attachments"; '#' starts a comment line. The exit status is 1 when any
// disagreement is not listed, 2 on a usage or input error, else 0.

#include <fnmatch.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "decoded_view.h"
#include "gmime_reference.h"
#include "mail/email_content_decoder.h"
#include "util/text.h"

namespace {

namespace fs = std::filesystem;
using kestrova::differential::FieldDifference;

struct KnownDifference {
  std::string pattern;  // file name or wildcard pattern
  std::string field;
  std::string explanation;
  int line = 0;
  bool used = false;
};

// Throws std::runtime_error naming the line that does not read "<file> <field>: <text>".
std::vector<KnownDifference> read_known_differences(const fs::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::vector<KnownDifference> out;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string text = kestrova::text::trim(line);
    if (text.empty() || text.front() == '#') continue;
    const size_t space = text.find(' ');
    const size_t colon = text.find(':', space == std::string::npos ? 0 : space);
    if (space == std::string::npos || colon == std::string::npos)
      throw std::runtime_error(path.string() + ":" + std::to_string(number) +
                               ": expected \"<file> <field>: <explanation>\"");
    KnownDifference known;
    known.pattern = text.substr(0, space);
    known.field = kestrova::text::trim(std::string_view(text).substr(space + 1, colon - space - 1));
    known.explanation = kestrova::text::trim(std::string_view(text).substr(colon + 1));
    known.line = number;
    if (known.field != "text" && known.field != "html" && known.field != "attachments")
      throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": unknown field \"" +
                               known.field + "\"");
    if (known.explanation.empty())
      throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": no explanation");
    out.push_back(std::move(known));
  }
  return out;
}

KnownDifference* find_known(std::vector<KnownDifference>& known, const std::string& file,
                            const std::string& field) {
  for (auto& k : known)
    if (k.field == field && fnmatch(k.pattern.c_str(), file.c_str(), 0) == 0) return &k;
  return nullptr;
}

std::vector<fs::path> messages_in(const std::vector<std::string>& directories) {
  std::vector<fs::path> out;
  for (const auto& dir : directories) {
    std::vector<fs::path> here;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file() && entry.path().extension() == ".eml")
        here.push_back(entry.path());
    std::sort(here.begin(), here.end());
    out.insert(out.end(), here.begin(), here.end());
  }
  return out;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Compares EmailContentDecoder with GMime on directories of .eml files."};
  std::vector<std::string> directories;
  std::string known_path;
  bool quiet = false;
  app.add_option("directories", directories, "Directories of .eml files")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("--known", known_path, "Known-differences file")->check(CLI::ExistingFile);
  app.add_flag("--quiet", quiet, "Print only messages with differences");
  CLI11_PARSE(app, argc, argv);

  std::vector<KnownDifference> known;
  std::vector<fs::path> files;
  try {
    if (!known_path.empty()) known = read_known_differences(known_path);
    files = messages_in(directories);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrova-mime-differential: %s\n", e.what());
    return 2;
  }
  if (files.empty()) {
    std::fprintf(stderr, "kestrova-mime-differential: no .eml files found\n");
    return 2;
  }

  int agree = 0, explained = 0, unexplained = 0;
  for (const auto& path : files) {
    std::string raw;
    try {
      raw = read_file(path);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kestrova-mime-differential: %s\n", e.what());
      return 2;
    }
    const std::string name = path.filename().string();
    const std::string shown = path.parent_path().filename().string() + "/" + name;
    const auto ours =
        kestrova::differential::view_of(kestrova::mail::EmailContentDecoder::decode(raw));
    const auto reference = kestrova::differential::decode_with_gmime(raw);
    const std::vector<FieldDifference> differences =
        kestrova::differential::compare_views(ours, reference);
    if (differences.empty()) {
      ++agree;
      if (!quiet) std::printf("ok     %s\n", shown.c_str());
      continue;
    }
    bool all_known = true;
    for (const auto& d : differences) {
      if (KnownDifference* k = find_known(known, name, d.field)) {
        k->used = true;
        std::printf("known  %s %s: %s\n", shown.c_str(), d.field.c_str(), k->explanation.c_str());
        if (!quiet) std::printf("         %s\n", d.detail.c_str());
      } else {
        all_known = false;
        std::printf("DIFF   %s %s: %s\n", shown.c_str(), d.field.c_str(), d.detail.c_str());
      }
    }
    all_known ? ++explained : ++unexplained;
  }
  for (const auto& k : known)
    if (!k.used)
      std::printf("note   known difference of line %d (%s %s) did not occur\n", k.line,
                  k.pattern.c_str(), k.field.c_str());

  const auto total = static_cast<int>(files.size());
  std::printf(
      "mime differential: %d messages, %d agree (%.1f%%), %d with known differences, "
      "%d with unexplained differences\n",
      total, agree, 100.0 * agree / total, explained, unexplained);
  return unexplained == 0 ? 0 : 1;
}
