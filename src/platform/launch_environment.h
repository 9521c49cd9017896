#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::platform {

// The environment the user started Kestrova with, captured before the program changes its
// own (the mail proxy settings export proxy variables into the process). Programs Kestrova
// starts and its HTTP clients use this one, never the live process environment.
//
// captureLaunchEnvironment() belongs at the top of main, before any thread starts; later
// calls do nothing. The readers capture on first use when main did not. Thread-safe after
// the capture.
void captureLaunchEnvironment();

// The value of NAME as it was at launch; nothing when it was unset.
std::optional<std::string> launchEnvironmentValue(std::string_view name);

// Every "NAME=value" entry as it was at launch, for the environment of a child process.
const std::vector<std::string>& launchEnvironment();

}  // namespace kestrova::platform
