#pragma once

#include <memory>

namespace kestrova {

// Deleter for std::unique_ptr over a C handle whose release function is F.
template <auto F>
struct CFree {
  void operator()(auto* p) const noexcept {
    if (p) F(p);
  }
};

template <typename T, auto F>
using CHandle = std::unique_ptr<T, CFree<F>>;

}  // namespace kestrova
