#include "platform/cancellation.h"

namespace kestrova::platform {

CancellationToken& CancellationToken::process() noexcept {
  static CancellationToken token;
  return token;
}

}  // namespace kestrova::platform
