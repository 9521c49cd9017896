#pragma once

#include "store/email_message.h"  // allowed: store is below mail
#include "ai/ai_adapter.h"        // sideways: mail and ai never include each other
