// `kestrova manual-pages DIR` (not listed in the help): writes the manual pages from the
// command tree itself, so that they never fall behind the program: kestrova.1 for the
// program and one page per command, kestrova-<command>.1, covering its subcommands. The
// build runs it; the pages are installed with the program.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/command_line.h"
#include "util/error.h"

namespace kestrova::app {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kProgramSummary =
    "mail client for several accounts, with a tool server for AI agents";

// One line of running text for roff: backslashes written as \e, and a line that would start
// with a control character ("." or "'") protected by \&.
std::string roff_escaped(std::string_view line) {
  std::string out;
  if (line.starts_with('.') || line.starts_with('\'')) out = "\\&";
  for (char c : line) out += c == '\\' ? std::string("\\e") : std::string(1, c);
  return out;
}

// Option and command names: also every "-" as a minus sign, so that the names can be copied
// and searched for as they are typed.
std::string roff_name(std::string_view name) {
  std::string out;
  for (char c : roff_escaped(name)) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

// Text of several lines: each line escaped; an empty line starts a new paragraph.
std::string roff_paragraphs(std::string_view text) {
  std::string out;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (line.empty())
      out += ".PP\n";
    else
      out += roff_escaped(line) + "\n";
  }
  return out;
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

std::vector<const CLI::App*> listed_subcommands(const CLI::App& app) {
  // Option groups are nameless apps; commands left out of the help have no group.
  return app.get_subcommands([](const CLI::App* sub) {
    return !sub->get_name().empty() && !sub->get_group().empty() && !sub->get_disabled();
  });
}

// The usage line of a command without the formatter's "Usage: " label.
std::string usage_of(const CLI::App& app, const std::string& path) {
  CLI::Formatter formatter;
  std::string usage = formatter.make_usage(&app, path);
  if (const size_t colon = usage.find(": "); colon != std::string::npos)
    usage = usage.substr(colon + 2);
  while (!usage.empty() && usage.back() == '\n') usage.pop_back();
  return usage;
}

std::string synopsis_of(const CLI::App& app, const std::string& path) {
  std::string rest = usage_of(app, path).substr(path.size());
  rest.erase(0, rest.find_first_not_of(' '));  // a line starting with a space breaks
  return ".B " + roff_name(path) + "\n" + (rest.empty() ? "" : roff_escaped(rest) + "\n");
}

// The options (and positionals) of one command as a tagged list.
std::string options_of(const CLI::App& app) {
  CLI::Formatter formatter;
  std::string out;
  // Hidden options have no group; every page says once what -h does.
  for (const CLI::Option* option : app.get_options([&app](const CLI::Option* o) {
         return !o->get_group().empty() && o != app.get_help_ptr();
       })) {
    const bool positional = !option->nonpositional();
    out += ".TP\n.B " + roff_name(formatter.make_option_name(option, positional));
    std::string opts = formatter.make_option_opts(option);
    opts.erase(0, opts.find_first_not_of(' '));
    out += opts.empty() ? "\n" : " \\fI" + roff_escaped(opts) + "\\fR\n";
    out += roff_paragraphs(option->get_description());
  }
  return out;
}

// A command's options and its own footer (the shape --json prints).
std::string options_and_footer(const CLI::App& app, const std::string& rootFooter) {
  std::string out = options_of(app);
  if (const std::string footer = app.get_footer(); !footer.empty() && footer != rootFooter)
    out += ".PP\n" + roff_paragraphs(footer);
  return out;
}

// Each subcommand under a heading holding its usage, then its description and options,
// depth first.
void describe_subcommands(const CLI::App& app, const std::string& path,
                          const std::string& rootFooter, std::string& out) {
  for (const CLI::App* sub : listed_subcommands(app)) {
    const std::string subPath = path + " " + sub->get_name();
    out += ".SS \"" + roff_escaped(usage_of(*sub, subPath)) + "\"\n";
    out += roff_paragraphs(sub->get_description()) + options_and_footer(*sub, rootFooter);
    describe_subcommands(*sub, subPath, rootFooter, out);
  }
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string header(const std::string& title, const std::string& version) {
  return ".TH " + upper(title) + " 1 \"\" \"kestrova " + version + "\" \"Kestrova Manual\"\n";
}

// The closing sections every page shares: exit status and files come from the program's
// own footer (one line each), then the other pages.
std::string closing(const CLI::App& root, const std::string& seeAlso) {
  std::string out = ".SH NOTES\n";
  std::istringstream lines{root.get_footer()};
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) out += ".PP\n" + roff_escaped(line) + "\n";
  return out + ".SH \"SEE ALSO\"\n" + seeAlso + "\n";
}

std::string command_page(const CLI::App& root, const CLI::App& command,
                         const std::string& version) {
  const std::string path = root.get_name() + " " + command.get_name();
  const std::string page = root.get_name() + "-" + command.get_name();
  std::string out = header(page, version);
  out += ".SH NAME\n" + roff_name(page) + " \\- " +
         roff_escaped(first_line(command.get_description())) + "\n";
  out += ".SH SYNOPSIS\n" + synopsis_of(command, path);
  out += ".SH DESCRIPTION\n" + roff_paragraphs(command.get_description());
  if (const std::string options = options_and_footer(command, root.get_footer()); !options.empty())
    out += ".SH OPTIONS\n" + options;
  std::string commands;
  describe_subcommands(command, path, root.get_footer(), commands);
  if (!commands.empty()) out += ".SH COMMANDS\n" + commands;
  return out + closing(root, ".BR " + root.get_name() + " (1)");
}

std::string program_page(const CLI::App& root, const std::string& version) {
  const std::string name = root.get_name();
  std::string out = header(name, version);
  out += ".SH NAME\n" + name + " \\- " + std::string(kProgramSummary) + "\n";
  out += ".SH SYNOPSIS\n" + synopsis_of(root, name);
  out += ".SH DESCRIPTION\n" + roff_paragraphs(root.get_description());
  out += ".SH OPTIONS\n" + options_of(root);
  out += ".SH COMMANDS\nEach command has its own page, named after it.\n";
  std::string seeAlso;
  for (const CLI::App* command : listed_subcommands(root)) {
    const std::string page = name + "-" + command->get_name();
    out += ".TP\n.BR " + roff_name(page) + " (1)\n" +
           roff_escaped(first_line(command->get_description())) + "\n";
    seeAlso += (seeAlso.empty() ? "" : ",\n") + (".BR " + roff_name(page) + " (1)");
  }
  return out + closing(root, seeAlso);
}

void write_page(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw Error("Cannot write " + file.string());
}

}  // namespace

void add_manual_pages_command(CLI::App& root, const std::string& version) {
  auto* command = root.add_subcommand("manual-pages", "Write the manual pages into DIR");
  command->group("");  // for the build, not for users
  auto directory = std::make_shared<std::string>();
  command->add_option("DIR", *directory, "Folder for the pages")->required();
  command->callback([&root, directory, version] {
    const fs::path dir = *directory;
    fs::create_directories(dir);
    write_page(dir / (root.get_name() + ".1"), program_page(root, version));
    for (const CLI::App* sub : listed_subcommands(root))
      write_page(dir / (root.get_name() + "-" + sub->get_name() + ".1"),
                 command_page(root, *sub, version));
  });
}

}  // namespace kestrova::app
