// The command line builds only the family of commands its first word names: each family's
// list of names must be what its registration adds, or that word would reach the wrong
// family (or none) and the command would be refused as unknown.

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/cli/command_line.h"

namespace kestrova::app {
namespace {

TEST(CommandFamilies, NameExactlyTheCommandsTheyRegister) {
  std::set<std::string_view> seen;
  for (const auto& family : command_families()) {
    CLI::App root;
    family.add(root);
    std::vector<std::string> registered;
    for (const CLI::App* command : root.get_subcommands([](const CLI::App*) { return true; }))
      registered.push_back(command->get_name());
    const std::vector<std::string> listed(family.names.begin(), family.names.end());
    EXPECT_EQ(registered, listed);
    for (const auto name : family.names) EXPECT_TRUE(seen.insert(name).second) << name;
  }
}

}  // namespace
}  // namespace kestrova::app
