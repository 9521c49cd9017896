#include "platform/paths.h"
#include <mail/email_service.h>
