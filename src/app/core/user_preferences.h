#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/core/agent/mcp_exposure_level.h"
#include "safety/email_junk_filter_action.h"
#include "util/json.h"

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::app {

// ---------------------------------------------------------------------------------------
// Enumerations stored as settings. The stored raw value is the case name, except for
// EmailReadingThemeMode::automatic (stored "auto", a C++ keyword) and EmailFontSize, whose
// raw values are point sizes. MCPExposureLevel is declared in app/core/agent/mcp_exposure_level.h.

enum class AppVisualSkin { system, mist, ink, sciFi, midnight, aurora, ember, seaSalt };
enum class AppInterfaceFontScale { compact, standard, comfortable, large };
// The junk filter's action is the safety library's own type.
using EmailJunkFilterAction = safety::EmailJunkFilterAction;
enum class EmailReadingThemeMode { automatic, classic, dark, warmPaper, eyeCare };
enum class EmailLineSpacing { compact, normal, relaxed };
enum class EmailFontSize { small = 14, medium = 16, large = 18, extraLarge = 20 };

// The cases of a string-valued enumeration with their raw values, in case order.
template <class E>
struct EnumRawValues;

template <>
struct EnumRawValues<AppVisualSkin> {
  using E = AppVisualSkin;
  static constexpr std::array<std::pair<E, std::string_view>, 8> cases{{
      {E::system, "system"}, {E::mist, "mist"}, {E::ink, "ink"}, {E::sciFi, "sciFi"},
      {E::midnight, "midnight"}, {E::aurora, "aurora"}, {E::ember, "ember"}, {E::seaSalt, "seaSalt"}}};
};
template <>
struct EnumRawValues<AppInterfaceFontScale> {
  using E = AppInterfaceFontScale;
  static constexpr std::array<std::pair<E, std::string_view>, 4> cases{
      {{E::compact, "compact"}, {E::standard, "standard"}, {E::comfortable, "comfortable"}, {E::large, "large"}}};
};
template <>
struct EnumRawValues<MCPExposureLevel> {
  using E = MCPExposureLevel;
  static constexpr std::array<std::pair<E, std::string_view>, 3> cases{
      {{E::readonly, "readonly"}, {E::trainable, "trainable"}, {E::full, "full"}}};
};
template <>
struct EnumRawValues<EmailJunkFilterAction> {
  using E = EmailJunkFilterAction;
  static constexpr std::array<std::pair<E, std::string_view>, 2> cases{
      {{E::markSpam, "markSpam"}, {E::moveToSpam, "moveToSpam"}}};
};
template <>
struct EnumRawValues<EmailReadingThemeMode> {
  using E = EmailReadingThemeMode;
  static constexpr std::array<std::pair<E, std::string_view>, 5> cases{{{E::automatic, "auto"},
                                                                        {E::classic, "classic"},
                                                                        {E::dark, "dark"},
                                                                        {E::warmPaper, "warmPaper"},
                                                                        {E::eyeCare, "eyeCare"}}};
};
template <>
struct EnumRawValues<EmailLineSpacing> {
  using E = EmailLineSpacing;
  static constexpr std::array<std::pair<E, std::string_view>, 3> cases{
      {{E::compact, "compact"}, {E::normal, "normal"}, {E::relaxed, "relaxed"}}};
};

template <class E>
constexpr std::string_view raw_value(E value) {
  for (const auto& [candidate, raw] : EnumRawValues<E>::cases)
    if (candidate == value) return raw;
  return {};
}

// Nothing when `raw` names no case (raw values compare exactly).
template <class E>
constexpr std::optional<E> enum_from_raw(std::string_view raw) {
  for (const auto& [candidate, name] : EnumRawValues<E>::cases)
    if (name == raw) return candidate;
  return std::nullopt;
}

// The skin's symbol name ("leaf" for mist) and its localisation keys
// ("appearance.skin.mist", "appearance.skin.mist.description").
std::string_view symbol_name(AppVisualSkin skin);
std::string title_key(AppVisualSkin skin);
std::string description_key(AppVisualSkin skin);
// Base interface text size in points, and "appearance.fontScale." + raw value.
double base_point_size(AppInterfaceFontScale scale);
std::string title_key(AppInterfaceFontScale scale);
// The body size in points (the raw value), and the case of a stored point size.
constexpr int64_t points(EmailFontSize size) { return static_cast<int64_t>(size); }
std::optional<EmailFontSize> email_font_size_from_points(int64_t points);

// ---------------------------------------------------------------------------------------
// The settings table: every key with its type and default, in the order of the settings
// screens. The command line lists and validates keys from it.

enum class SettingType { boolean, integer, real, string, string_list, json_list };
std::string_view type_name(SettingType type);

struct SettingDescriptor {
  std::string_view key;
  SettingType type = SettingType::string;
  Json fallback;  // the default
  // The accepted values when the setting holds an enumeration's raw value; empty when any
  // value of the type is accepted. A stored value outside them reads as the default.
  std::vector<Json> choices;
  // The range an integer entered by the user must lie in.
  int64_t minimum = std::numeric_limits<int64_t>::min();
  int64_t maximum = std::numeric_limits<int64_t>::max();
  // Stored integers below `minimum` read as `minimum`; the stored value is kept.
  bool clamp_on_read = false;
  // Read like a platform "plain bool" accessor: numbers (non-zero) and the strings
  // "true"/"yes" count as well. For keys whose older writers may have stored other types.
  bool lenient_bool = false;
};

// In table order; lives until exit.
const std::vector<SettingDescriptor>& setting_descriptors();
// Nothing (nullptr) for a key outside the table.
const SettingDescriptor* find_setting(std::string_view key);
// Turns text typed by the user into a value of the setting's type: bool as
// true/false/1/0/yes/no, integers and doubles in decimal, string lists as a JSON array or
// comma-separated, the AI lists as a JSON array of objects. Enumeration keys accept their
// raw values only and integers must lie in their range. Throws kestrova::Error saying what
// was expected.
Json parse_setting_input(const SettingDescriptor& setting, std::string_view text);

// Typed handles of the table's keys. A handle names its key; the default and the checks
// come from the table.
template <class T>
struct Setting {
  std::string_view key;
};
// A string setting holding the raw value of enumeration E.
template <class E>
struct EnumSetting {
  std::string_view key;
};

namespace settings {

#define KESTROVA_SETTING(Type, name) inline constexpr Setting<Type> name{#name};
#define KESTROVA_ENUM_SETTING(Enum, name) inline constexpr EnumSetting<Enum> name{#name};

// General and appearance.
KESTROVA_SETTING(bool, launchAtLogin)
KESTROVA_SETTING(bool, hideDockIcon)
KESTROVA_ENUM_SETTING(AppVisualSkin, appVisualSkin)
KESTROVA_ENUM_SETTING(AppInterfaceFontScale, appInterfaceFontScale)
KESTROVA_SETTING(std::string, defaultLanguage)
KESTROVA_SETTING(bool, hasCompletedOnboarding)
// AI: the legacy single configuration, then the profiles and scenario bindings (raw JSON
// arrays of objects until their record types exist).
KESTROVA_SETTING(std::string, aiAPIEndpoint)
KESTROVA_SETTING(std::string, aiModel)
KESTROVA_SETTING(std::string, aiAPIToken)
KESTROVA_SETTING(double, aiTimeout)
KESTROVA_SETTING(std::string, aiSystemPrompt)
KESTROVA_SETTING(Json, aiServiceProfiles)
KESTROVA_SETTING(Json, aiScenarioBindings)
// Notifications, badge and do-not-disturb.
KESTROVA_SETTING(bool, emailNotificationsEnabled)
KESTROVA_SETTING(bool, emailNotifyVIPOnly)
KESTROVA_SETTING(bool, emailNotifySoundEnabled)
KESTROVA_SETTING(bool, emailNotifyBadgeEnabled)
KESTROVA_SETTING(bool, emailNotifyPreviewEnabled)
KESTROVA_SETTING(std::vector<std::string>, emailVIPSenders)
KESTROVA_SETTING(bool, dockBadgeIncludesActions)
KESTROVA_SETTING(bool, dockBadgeIncludesFollowUps)
KESTROVA_SETTING(bool, emailDoNotDisturbEnabled)
KESTROVA_SETTING(int64_t, emailDoNotDisturbFrom)
KESTROVA_SETTING(int64_t, emailDoNotDisturbTo)
// Follow-up.
KESTROVA_SETTING(int64_t, followUpWaitingDays)
KESTROVA_SETTING(bool, followUpAutoWaitingOnReply)
KESTROVA_SETTING(bool, followUpNotifyEnabled)
// Mail handling.
KESTROVA_SETTING(bool, emailShowImages)
KESTROVA_SETTING(bool, emailShowAttachments)
KESTROVA_SETTING(bool, emailCompactBlankLines)
KESTROVA_SETTING(bool, emailAutoReplyEnabled)
KESTROVA_SETTING(std::string, emailAutoReplyTemplate)
// AI-written automatic replies only to addresses the user has written to (others get the
// template).
KESTROVA_SETTING(bool, emailAutoReplyAIKnownSendersOnly)
KESTROVA_SETTING(bool, emailAutoSignatureOnReplyEnabled)
KESTROVA_SETTING(bool, emailJunkFilterEnabled)
KESTROVA_ENUM_SETTING(EmailJunkFilterAction, emailJunkFilterAction)
KESTROVA_SETTING(bool, emailBlockedSenderFilterEnabled)
KESTROVA_ENUM_SETTING(EmailJunkFilterAction, emailBlockedSenderAction)
KESTROVA_SETTING(bool, emailReadReceiptEnabled)
KESTROVA_SETTING(int64_t, emailMarkAsReadDelaySeconds)
KESTROVA_SETTING(int64_t, emailInitialLoadThreshold)
KESTROVA_SETTING(bool, emailStopAutoSyncAfterThreshold)
// Bodies downloaded ahead of reading: messages of the last N days (0: none), each up to a size.
KESTROVA_SETTING(int64_t, emailBodyPrefetchDays)
KESTROVA_SETTING(int64_t, emailBodyPrefetchMaxBytes)
KESTROVA_SETTING(bool, emailSuperPrivacyMode)
KESTROVA_SETTING(bool, undoSendEnabled)
KESTROVA_SETTING(int64_t, undoSendDelaySeconds)
// AI features on mail.
KESTROVA_SETTING(bool, emailAISmartTaggingEnabled)
KESTROVA_SETTING(bool, emailAISummaryEnabled)
KESTROVA_SETTING(bool, emailAIPriorityDetectionEnabled)
KESTROVA_SETTING(bool, emailAIActionItemsEnabled)
KESTROVA_SETTING(bool, emailAIBackgroundAnalysisEnabled)
KESTROVA_SETTING(bool, emailAutoTranslateEnabled)
KESTROVA_SETTING(std::vector<std::string>, emailAutoTranslateIgnoredLanguages)
// Network.
KESTROVA_SETTING(bool, emailProxyEnabled)
KESTROVA_SETTING(std::string, emailProxyHost)
KESTROVA_SETTING(int64_t, emailProxyPort)
KESTROVA_SETTING(std::string, emailProxyType)
// OAuth sign-in of a deployment: its client, and endpoints other than the provider's own
// (empty: the provider's); `kestrova account add --oauth` options take precedence.
KESTROVA_SETTING(std::string, oauthGmailClientId)
KESTROVA_SETTING(std::string, oauthGmailClientSecret)
KESTROVA_SETTING(std::string, oauthGmailAuthorizationEndpoint)
KESTROVA_SETTING(std::string, oauthGmailTokenEndpoint)
KESTROVA_SETTING(std::string, oauthOutlookClientId)
KESTROVA_SETTING(std::string, oauthOutlookAuthorizationEndpoint)
KESTROVA_SETTING(std::string, oauthOutlookTokenEndpoint)
// Reading view. The font size is an EmailFontSize raw value (see reading_font_size()).
KESTROVA_ENUM_SETTING(EmailReadingThemeMode, emailReadingThemeMode)
KESTROVA_SETTING(int64_t, emailReadingFontSize)
KESTROVA_ENUM_SETTING(EmailLineSpacing, emailReadingLineSpacing)
// Features and agent access.
KESTROVA_ENUM_SETTING(MCPExposureLevel, mcpExposureLevel)
KESTROVA_SETTING(bool, featureActionItemsEnabled)
KESTROVA_SETTING(bool, featureInternalNotesEnabled)
KESTROVA_SETTING(bool, featureTagSystemEnabled)

#undef KESTROVA_SETTING
#undef KESTROVA_ENUM_SETTING

// Keys kept directly in the store, outside the table (not observable).
inline constexpr std::string_view kHasShownWelcome = "hasShownWelcome";
inline constexpr std::string_view kDidMigrateDockBadgeUnreadOnlyDefault = "didMigrateDockBadgeUnreadOnlyDefault";
inline constexpr std::string_view kHasMigratedAIConfig = "hasMigratedAIConfig";

}  // namespace settings

// ---------------------------------------------------------------------------------------

// The application's settings object over the user-defaults store.
//
// Reads go through to the store at every call instead of caching values at creation: the
// command line, the service and the tool server are separate processes sharing one
// settings file, and each must see what another wrote. A read costs a stat of the file and
// a lookup; the file is parsed again only when it changed. A stored value of the wrong
// type reads as the default.
//
// Writes store the value at once. Every write of a table key through the store, by this
// object or by other code of this process, is published to the key's subscribers on the
// main thread (platform::MainQueue) with the value as it now reads; writes by other
// processes are seen by the getters but not published. Thread-safe.
//
// The getters of enumeration keys return a case even when the store holds something else:
// a stored value outside the enumeration reads as the key's default, like a wrong type.
class UserPreferences {
 public:
  // The instance over platform::SettingsStore::shared(), created on first use.
  static UserPreferences& shared();

  // Runs the one-time dock-badge migration on `store` when it has not run yet.
  explicit UserPreferences(platform::SettingsStore& store);
  ~UserPreferences();
  UserPreferences(const UserPreferences&) = delete;
  UserPreferences& operator=(const UserPreferences&) = delete;

  // The underlying store (for the keys kept outside the table).
  platform::SettingsStore& defaults() const { return store_; }

  bool get(Setting<bool> setting) const;
  int64_t get(Setting<int64_t> setting) const;
  double get(Setting<double> setting) const;
  std::string get(Setting<std::string> setting) const;
  std::vector<std::string> get(Setting<std::vector<std::string>> setting) const;
  Json get(Setting<Json> setting) const;  // a JSON array of objects
  // An unknown stored raw value reads as the default case.
  template <class E>
  E get(EnumSetting<E> setting) const {
    return decode<E>(value(setting.key));
  }
  EmailFontSize reading_font_size() const;

  // Write failures throw kestrova::Error and leave the store unchanged.
  void set(Setting<bool> setting, bool value);
  void set(Setting<int64_t> setting, int64_t value);
  void set(Setting<double> setting, double value);
  void set(Setting<std::string> setting, std::string value);
  void set(Setting<std::vector<std::string>> setting, std::vector<std::string> value);
  void set(Setting<Json> setting, Json value);
  template <class E>
  void set(EnumSetting<E> setting, E value) {
    set(Setting<std::string>{setting.key}, std::string(raw_value(value)));
  }

  // Generic access by key for the command line; throw kestrova::Error for a key outside
  // the table. value() is what the typed getter returns, as JSON.
  Json value(std::string_view key) const;
  void set_value(std::string_view key, Json value);

  // Subscriptions per key. Observers are called on the main thread; unsubscribe with the
  // returned token.
  using Observer = std::function<void(const Json& value)>;
  int subscribe(std::string_view key, Observer observer);
  template <class T>
  int subscribe(Setting<T> setting, std::type_identity_t<std::function<void(const T&)>> observer) {
    return subscribe(setting.key, [observer = std::move(observer)](const Json& v) { observer(v.get<T>()); });
  }
  template <class E>
  int subscribe(EnumSetting<E> setting, std::type_identity_t<std::function<void(E)>> observer) {
    return subscribe(setting.key, [observer = std::move(observer)](const Json& v) { observer(decode<E>(v)); });
  }
  void unsubscribe(int token);

 private:
  struct Subscribers;

  // Values of enumeration keys always read as one of their raw values (see read()).
  template <class E>
  static E decode(const Json& raw) {
    return enum_from_raw<E>(raw.get<std::string>()).value_or(EnumRawValues<E>::cases.front().first);
  }

  const SettingDescriptor& descriptor(std::string_view key) const;
  Json read(const SettingDescriptor& setting) const;
  void migrate_dock_badge_default();

  platform::SettingsStore& store_;
  std::shared_ptr<Subscribers> subscribers_;
  int store_observer_ = 0;
};

}  // namespace kestrova::app
