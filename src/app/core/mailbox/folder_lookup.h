#pragma once

#include <string_view>
#include <vector>

#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::app {

class AccountBook;

// Folders and messages as the commands name them.

// The folder whose id or path is `name`, else whose name, path or display name equals it
// ignoring case. Throws "未找到文件夹: ..." naming the account.
const store::EmailFolder& find_folder(const std::vector<store::EmailFolder>& folders,
                                      std::string_view name, const store::EmailAccount& account);

// The stored folders of an account; fetched from the server first when none are stored.
std::vector<store::EmailFolder> folders_of(AccountBook& book, const store::EmailAccount& account);

// The stored message whose id is `id` (a UUID or a unique prefix, any letter case). Throws
// "不是邮件 ID: ...", "未找到邮件: ..." or the list of candidates of an ambiguous prefix.
store::EmailMessage find_message(store::EmailStore& store, std::string_view id);

}  // namespace kestrova::app
