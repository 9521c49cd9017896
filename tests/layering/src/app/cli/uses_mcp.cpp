#include "app/core/mailbox/account_book.h"  // allowed: the command line uses core
#include "app/mcp/mcp_tool.h"       // the command line never includes the tool server
