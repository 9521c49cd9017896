#pragma once
#include "util/text.h"
  #  include "platform/settings_store.h"
