#include "mail/email_provider_catalog.h"

#include <algorithm>

#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

using store::EmailServiceType;

struct BrandFacts {
  EmailServiceType id;
  std::string_view symbol;
  std::string_view tint;
  std::vector<std::string> domains;
  std::optional<std::string> appPasswordURL;
  int priority;
};

// Domains are those whose mailboxes log in to the provider's preset servers: 126.com and
// yeah.net belong to NetEase too but have servers of their own, and the enterprise
// services (Exchange, Aliyun and Tencent business mail) run on their customers' domains.
std::vector<BrandFacts> facts() {
  return {
      {EmailServiceType::gmail, "envelope.fill", "#EA4335", {"gmail.com", "googlemail.com"},
       "https://myaccount.google.com/apppasswords", 10},
      {EmailServiceType::outlook, "envelope.badge.fill", "#0078D4",
       {"outlook.com", "hotmail.com", "live.com", "msn.com"},
       "https://account.live.com/proofs/AppPassword", 20},
      {EmailServiceType::icloud, "icloud.fill", "#3693F3", {"icloud.com", "me.com", "mac.com"},
       "https://account.apple.com/account/manage", 30},
      {EmailServiceType::qq, "bubble.left.and.bubble.right.fill", "#12B7F5",
       {"qq.com", "foxmail.com", "vip.qq.com"}, "https://mail.qq.com/", 40},
      {EmailServiceType::mail163, "envelope.circle.fill", "#D0021B", {"163.com"},
       "https://mail.163.com/", 50},
      {EmailServiceType::exchange, "building.2.fill", "#106EBE", {},
       "https://mysignins.microsoft.com/security-info", 60},
      {EmailServiceType::yahoo, "y.circle.fill", "#6001D2",
       {"yahoo.com", "ymail.com", "rocketmail.com", "yahoo.co.uk", "yahoo.fr", "yahoo.de"},
       "https://login.yahoo.com/account/security", 70},
      {EmailServiceType::aol, "a.circle.fill", "#31459B", {"aol.com", "aim.com"},
       "https://login.aol.com/account/security", 80},
      {EmailServiceType::aliyun, "cloud.fill", "#FF6A00", {}, "https://qiye.aliyun.com/", 90},
      {EmailServiceType::tencent, "building.columns.fill", "#0052D9", {}, "https://exmail.qq.com/",
       100},
      {EmailServiceType::custom, "gearshape.fill", "#8E8E93", {}, std::nullopt, 1000},
  };
}

std::vector<EmailProviderBrand> buildBrands() {
  std::vector<EmailProviderBrand> brands;
  for (auto& f : facts()) {
    const std::string caseName(store::case_name(f.id));
    auto key = EmailProviderCatalog::nameKey(f.id);
    brands.push_back({f.id, key ? localized(*key) : std::string(store::raw_value(f.id)),
                      std::string(f.symbol), std::string(f.tint), std::move(f.domains),
                      "provider." + caseName + ".summary", std::move(f.appPasswordURL),
                      f.priority});
  }
  std::ranges::stable_sort(brands, {}, &EmailProviderBrand::priority);
  return brands;
}

}  // namespace

std::span<const EmailProviderBrand> EmailProviderCatalog::brands() {
  static const std::vector<EmailProviderBrand> all = buildBrands();
  return all;
}

const EmailProviderBrand& EmailProviderCatalog::brand(EmailServiceType id) {
  auto all = brands();
  // Every provider has a card, so the search always finds one.
  return *std::ranges::find(all, id, &EmailProviderBrand::id);
}

std::optional<EmailServiceType> EmailProviderCatalog::recognize(std::string_view emailAddress) {
  const auto at = emailAddress.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string domain = text::lower(text::trim(emailAddress.substr(at + 1)));
  if (domain.empty()) return std::nullopt;
  for (const auto& brand : brands())
    if (std::ranges::find(brand.domains, domain) != brand.domains.end()) return brand.id;
  return std::nullopt;
}

std::optional<std::string> EmailProviderCatalog::nameKey(EmailServiceType id) {
  switch (id) {
    case EmailServiceType::mail163:
    case EmailServiceType::qq:
    case EmailServiceType::aliyun:
    case EmailServiceType::tencent:
    case EmailServiceType::custom:
      return "provider." + std::string(store::case_name(id)) + ".name";
    case EmailServiceType::gmail:
    case EmailServiceType::outlook:
    case EmailServiceType::icloud:
    case EmailServiceType::exchange:
    case EmailServiceType::yahoo:
    case EmailServiceType::aol:
      return std::nullopt;
  }
  return std::nullopt;
}

PresetApplication applyProviderPreset(store::EmailAccount& account, AccountEditorState state) {
  constexpr std::string_view kComponent = "EmailAccountViewModel";
  switch (state) {
    case AccountEditorState::loadingExistingAccount:
      log_line("📝", kComponent, "serviceTypeChanged: 跳过覆盖（正在加载编辑数据）");
      return {};
    case AccountEditorState::editingExistingAccount:
      log_line("📝", kComponent, "serviceTypeChanged: 编辑模式下不覆盖服务器配置");
      return {};
    case AccountEditorState::creatingAccount:
      break;
  }
  log_line("📝", kComponent,
           "serviceTypeChanged: 应用预设配置 for " + std::string(store::raw_value(account.serviceType)));
  PresetApplication result;
  if (auto imap = store::imap_preset(account.serviceType)) {
    account.imapHost = std::string(imap->host);
    account.imapPort = imap->port;
    account.imapEncryption = imap->encryption;
    result.serverSettingsChanged = true;
  }
  if (auto smtp = store::smtp_preset(account.serviceType)) {
    account.smtpHost = std::string(smtp->host);
    account.smtpPort = smtp->port;
    account.smtpEncryption = smtp->encryption;
    result.serverSettingsChanged = true;
  }
  result.showAdvancedSettings = !store::imap_preset(account.serviceType).has_value();
  return result;
}

}  // namespace kestrova::mail
