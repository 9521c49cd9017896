// kestrova-mailgen: writes the test message generator's corpus as .eml files or straight
// into a Maildir folder (Dovecot's Maildir++ layout), for benchmarks and for comparing the
// content decoder with other MIME parsers.
//
//   kestrova-mailgen --eml-dir DIR --count N [--seed S] [--start I] [--anchor T]
//       DIR/NNNNN.eml, NNNNN being the message's index
//   kestrova-mailgen --maildir DIR/Maildir [--folder F] --count N [--seed S] ...
//       into folder F ("INBOX", "Archive.2024", "项目"), flags in the file names and the
//       message date as the file time (Dovecot's INTERNALDATE)
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "support/maildir.h"
#include "support/message_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrova::testing;

// Run by root, the files go to whoever owns the nearest existing directory above the
// Maildir (the mail user of a Dovecot home), since Dovecot will not work on root's files.
MaildirOwner owner_for(const fs::path& maildir) {
  if (geteuid() != 0) return {};
  fs::path dir = fs::absolute(maildir);
  while (!dir.empty() && !fs::exists(dir) && dir != dir.parent_path()) dir = dir.parent_path();
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0 || info.st_uid == 0) return {};
  return {static_cast<int>(info.st_uid), static_cast<int>(info.st_gid)};
}

void write_eml(const fs::path& dir, const GeneratedMessage& m, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "%05d.eml", index);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(m.raw.data(), static_cast<std::streamsize>(m.raw.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + (dir / name).string());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes generated test messages as .eml files or into a Maildir folder"};
  std::string eml_dir, maildir, folder = "INBOX";
  int count = 0, start = 0;
  uint64_t seed = 1;
  int64_t anchor = kGeneratorAnchor;
  auto* eml = app.add_option("--eml-dir", eml_dir, "Write DIR/NNNNN.eml");
  auto* box = app.add_option("--maildir", maildir, "Write into this Maildir (…/Maildir)");
  eml->excludes(box);
  app.add_option("--folder", folder, "Maildir folder, '.' between levels")
      ->capture_default_str()
      ->needs(box);
  app.add_option("--count", count, "Number of messages")->required()->check(CLI::NonNegativeNumber);
  app.add_option("--seed", seed, "Corpus seed")->capture_default_str();
  app.add_option("--start", start, "Index of the first message")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--anchor", anchor,
                 "Dates lie in the 30 days before this time (seconds since 1970)")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (eml_dir.empty() && maildir.empty()) {
    std::cerr << "kestrova-mailgen: give --eml-dir or --maildir\n";
    return 2;
  }
  try {
    if (!eml_dir.empty()) {
      fs::create_directories(eml_dir);
      for (int i = start; i < start + count; ++i)
        write_eml(eml_dir, generate_message(seed, i, anchor), i);
      std::cout << "wrote " << count << " messages to " << eml_dir << "\n";
      return 0;
    }
    const MaildirOwner owner = owner_for(maildir);
    constexpr int kBatch = 500;
    for (int first = start; first < start + count; first += kBatch) {
      std::vector<MaildirMessage> batch;
      for (int i = first; i < std::min(first + kBatch, start + count); ++i) {
        GeneratedMessage m = generate_message(seed, i, anchor);
        batch.push_back({std::move(m.raw), {m.seen, m.flagged}, m.date});
      }
      write_maildir_messages(maildir, folder, batch, owner);
    }
    std::cout << "wrote " << count << " messages to " << maildir_folder(maildir, folder).string()
              << "\n";
  } catch (const std::exception& e) {
    std::cerr << "kestrova-mailgen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
