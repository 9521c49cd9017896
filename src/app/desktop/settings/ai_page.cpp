#include "app/desktop/settings/ai_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <thread>

#include "app/core/mail_ai.h"
#include "app/core/user_preferences.h"
#include "app/desktop/settings/ai_settings.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app::desktop {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

void fill_protocols(QComboBox* box) {
  for (ai::AIProtocolType type : ai::all_protocol_types())
    box->addItem(q(ai::localized_display_name(type)), static_cast<int>(type));
}

ai::AIProtocolType protocol_of(const QComboBox* box) {
  return static_cast<ai::AIProtocolType>(box->currentData().toInt());
}

// The provider's answer to the test, as the page shows it: its first line, at most 120
// characters. A chatty model answers with paragraphs that would push the form out of place.
std::string first_line(const std::string& answer) {
  constexpr qsizetype kLongest = 120;
  QString line = q(answer).trimmed().section('\n', 0, 0).trimmed();
  if (line.size() > kLongest) {
    qsizetype cut = kLongest - 1;
    if (line.at(cut).isLowSurrogate()) --cut;
    line = line.left(cut) + QChar(0x2026);
  }
  return line.toStdString();
}

}  // namespace

AiPage::AiPage(SettingsEditor& editor, QWidget* parent)
    : QWidget(parent),
      editor_(editor),
      model_(std::make_unique<AiSettings>(editor.preferences().defaults())) {
  auto* page = new QVBoxLayout(this);
  status_ = new QLabel(this);
  status_->setObjectName("aiStatus");
  status_->setWordWrap(true);
  status_->setContentsMargins(8, 6, 8, 6);
  status_->setAutoFillBackground(true);
  QPalette sp = status_->palette();
  sp.setColor(QPalette::Window, sp.color(QPalette::AlternateBase));
  status_->setPalette(sp);
  page->addWidget(status_);

  // ---- profiles: the list on the left, the chosen one's form on the right ----
  page->addWidget(section_title(ui_text("desktop.settings.ai.profiles"), this));
  auto* profilesRow = new QHBoxLayout();
  auto* left = new QVBoxLayout();
  profiles_ = new QListWidget(this);
  profiles_->setObjectName("aiProfiles");
  profiles_->setMinimumWidth(200);
  left->addWidget(profiles_, 1);
  auto* addRow = new QHBoxLayout();
  addProtocol_ = new QComboBox(this);
  addProtocol_->setObjectName("addProtocol");
  fill_protocols(addProtocol_);
  auto* add = new QPushButton(ui_text("desktop.settings.add"), this);
  add->setObjectName("addProfile");
  addRow->addWidget(addProtocol_, 1);
  addRow->addWidget(add);
  left->addLayout(addRow);
  profilesRow->addLayout(left, 2);

  auto* form = new QFormLayout();
  protocol_ = new QComboBox(this);
  fill_protocols(protocol_);
  name_ = new QLineEdit(this);
  name_->setObjectName("profileName");
  endpoint_ = new QLineEdit(this);
  endpoint_->setObjectName("profileEndpoint");
  modelField_ = new QComboBox(this);
  modelField_->setObjectName("profileModel");
  modelField_->setEditable(true);
  timeout_ = new QDoubleSpinBox(this);
  timeout_->setRange(0.1, 3600);
  timeout_->setDecimals(1);
  timeout_->setSuffix(ui_text("desktop.settings.seconds_suffix"));
  key_ = new QLineEdit(this);
  key_->setObjectName("profileKey");
  key_->setEchoMode(QLineEdit::Password);
  key_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  clearKey_ = new QCheckBox(ui_text("desktop.settings.ai.clear_key"), this);
  isDefault_ = new QCheckBox(ui_text("desktop.settings.ai.default"), this);
  form->addRow(ui_text("desktop.settings.ai.protocol"), protocol_);
  form->addRow(ui_text("desktop.settings.ai.name"), name_);
  form->addRow(ui_text("desktop.settings.ai.endpoint"), endpoint_);
  form->addRow(ui_text("desktop.settings.ai.model"), modelField_);
  form->addRow(ui_text("desktop.settings.ai.timeout"), timeout_);
  form->addRow(ui_text("desktop.settings.ai.key"), key_);
  form->addRow(QString(), clearKey_);
  form->addRow(QString(), isDefault_);
  auto* buttons = new QHBoxLayout();
  auto* save = new QPushButton(ui_text("desktop.settings.save"), this);
  save->setObjectName("saveProfile");
  save->setDefault(false);
  save->setAutoDefault(false);
  test_ = new QPushButton(ui_text("desktop.settings.ai.test"), this);
  test_->setObjectName("testProfile");
  auto* remove = new QPushButton(ui_text("desktop.settings.remove"), this);
  remove->setObjectName("removeProfile");
  buttons->addWidget(save);
  buttons->addWidget(test_);
  buttons->addStretch(1);
  buttons->addWidget(remove);
  form->addRow(buttons);
  result_ = new QLabel(this);
  result_->setObjectName("testResult");
  result_->setWordWrap(true);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form->addRow(result_);
  profilesRow->addLayout(form, 3);
  page->addLayout(profilesRow);

  connect(profiles_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row < 0) return;
    shown_ = profiles_->item(row)->data(Qt::UserRole).toString().toStdString();
    show_profile();
  });
  connect(add, &QPushButton::clicked, this, [this] { add_profile(); });
  connect(save, &QPushButton::clicked, this, [this] { save_profile(); });
  connect(remove, &QPushButton::clicked, this, [this] { remove_profile(); });
  connect(test_, &QPushButton::clicked, this, [this] { test_profile(); });
  connect(protocol_, &QComboBox::activated, this, [this] {
    // Another protocol: its presets for the fields that still hold the old one's.
    const auto p = ai::AIServiceProfile::forProtocol(protocol_of(protocol_));
    endpoint_->setText(q(p.endpoint));
    modelField_->clear();
    for (std::string_view m : ai::suggested_models(p.protocolType))
      modelField_->addItem(q(std::string(m)));
    modelField_->setEditText(q(p.defaultModel));
    timeout_->setValue(p.timeout);
  });

  // ---- scenario bindings ----
  page->addWidget(section_title(ui_text("desktop.settings.ai.bindings"), this));
  page->addWidget(hint_label(ui_text("desktop.settings.ai.bindings_hint"), this));
  bindings_ = new QWidget(this);
  new QGridLayout(bindings_);
  page->addWidget(bindings_);

  // ---- features and privacy ----
  page->addWidget(section_title(ui_text("desktop.settings.ai.features"), this));
  for (auto [key, text] :
       {std::pair{settings::emailAIBackgroundAnalysisEnabled.key, "desktop.settings.ai.background"},
        {settings::emailAISummaryEnabled.key, "desktop.settings.ai.summary"},
        {settings::emailAISmartTaggingEnabled.key, "desktop.settings.ai.tags"},
        {settings::emailAIPriorityDetectionEnabled.key, "desktop.settings.ai.priority"},
        {settings::emailAIActionItemsEnabled.key, "desktop.settings.ai.actions"},
        {settings::emailAutoTranslateEnabled.key, "desktop.settings.ai.translate"}})
    page->addWidget(setting_check(editor, key, text, this));
  auto* ignored = new QFormLayout();
  ignored->addRow(ui_text("desktop.settings.ai.translate_ignored"),
                  setting_text(editor, settings::emailAutoTranslateIgnoredLanguages.key, this));
  page->addLayout(ignored);
  page->addWidget(section_title(ui_text("desktop.settings.ai.privacy"), this));
  page->addWidget(setting_check(editor, settings::emailSuperPrivacyMode.key,
                                "desktop.settings.ai.super_privacy", this));
  page->addWidget(hint_label(ui_text("desktop.settings.ai.super_privacy_hint"), this));
  page->addStretch(1);

  fill_profiles();
  if (auto p =
          model_->profiles().empty() ? std::nullopt : std::optional(model_->profiles().front()))
    select_profile(p->id);
  fill_bindings();
  show_status();
}

AiPage::~AiPage() = default;

void AiPage::fill_profiles() {
  QSignalBlocker block(profiles_);
  profiles_->clear();
  int current = -1;
  for (const auto& p : model_->profiles()) {
    auto* item = new QListWidgetItem(q((p.isDefault ? "★ " : "") + ai::shown_name(p)), profiles_);
    item->setData(Qt::UserRole, q(p.id));
    item->setToolTip(q(std::string(ai::display_name(p.protocolType)) + " · " + p.endpoint));
    if (p.id == shown_) current = profiles_->count() - 1;
  }
  profiles_->setCurrentRow(current);
}

void AiPage::select_profile(const std::string& id) {
  shown_ = id;
  fill_profiles();
  show_profile();
}

void AiPage::show_profile() {
  const auto p = model_->profile(shown_);
  for (QWidget* w : std::initializer_list<QWidget*>{protocol_, name_, endpoint_, modelField_,
                                                    timeout_, key_, clearKey_, isDefault_, test_})
    w->setEnabled(p.has_value());
  result_->clear();
  if (!p) return;
  protocol_->setCurrentIndex(protocol_->findData(static_cast<int>(p->protocolType)));
  name_->setText(q(ai::shown_name(*p)));  // a name Kestrova gave, in the interface language
  endpoint_->setText(q(p->endpoint));
  modelField_->clear();
  for (std::string_view m : ai::suggested_models(p->protocolType))
    modelField_->addItem(q(std::string(m)));
  modelField_->setEditText(q(p->defaultModel));
  timeout_->setValue(p->timeout);
  // The key is never shown back: the field only says whether one is stored.
  key_->clear();
  key_->setPlaceholderText(ui_text(text::trim(p->apiKey).empty() ? "desktop.settings.ai.key_unset"
                                                                 : "desktop.settings.ai.key_set"));
  clearKey_->setChecked(false);
  isDefault_->setChecked(p->isDefault);
  isDefault_->setEnabled(!p->isDefault);
}

void AiPage::add_profile() {
  const auto p = model_->add(protocol_of(addProtocol_));
  select_profile(p.id);
  fill_bindings();
  show_status();
  if (editor_.onChanged) editor_.onChanged(settings::aiServiceProfiles.key);
  name_->setFocus();
  name_->selectAll();
}

void AiPage::save_profile() {
  AiSettings::Form form;
  form.name = name_->text().toStdString();
  form.protocol = protocol_of(protocol_);
  form.endpoint = endpoint_->text().toStdString();
  form.model = modelField_->currentText().toStdString();
  form.timeout = timeout_->value();
  if (clearKey_->isChecked())
    form.apiKey = "";
  else if (!key_->text().trimmed().isEmpty())
    form.apiKey = key_->text().toStdString();
  form.makeDefault = isDefault_->isChecked();
  if (!model_->save(shown_, form)) return;
  fill_profiles();
  show_profile();
  fill_bindings();
  show_status();
  result_->setText(ui_text("desktop.settings.ai.saved"));
  if (editor_.onChanged) editor_.onChanged(settings::aiServiceProfiles.key);
}

void AiPage::remove_profile() {
  if (shown_.empty()) return;
  model_->remove(shown_);
  shown_ = model_->profiles().empty() ? std::string() : model_->profiles().front().id;
  fill_profiles();
  show_profile();
  fill_bindings();
  show_status();
  if (editor_.onChanged) editor_.onChanged(settings::aiServiceProfiles.key);
}

void AiPage::test_profile() {
  if (testing_) return;
  save_profile();  // what the form shows is what is tested
  const auto p = model_->profile(shown_);
  if (!p) return;
  testing_ = true;
  test_->setEnabled(false);
  result_->setText(q(localized_format("desktop.settings.ai.testing", ai::shown_name(*p))));
  QPointer<AiPage> self(this);
  // The request waits for at most the profile's time-out, away from the interface.
  std::thread([self, profile = *p] {
    bool passed = true;
    std::string text;
    try {
      text = localized_format("ai.test.passed", ai::shown_name(profile),
                              first_line(test_ai_profile(profile)));
    } catch (const std::exception& e) {
      passed = false;
      text = e.what();
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, passed, text] {
          if (!self) return;
          self->testing_ = false;
          self->test_->setEnabled(true);
          self->result_->setText(q((passed ? "✓ " : "✗ ") + text));
        },
        Qt::QueuedConnection);
  }).detach();
}

QString AiPage::test_result() const { return result_->text(); }

void AiPage::fill_bindings() {
  auto* grid = static_cast<QGridLayout*>(bindings_->layout());
  while (QLayoutItem* item = grid->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  int row = 0;
  for (ai::AIScenario scenario : ai::all_scenarios()) {
    const auto bound = model_->binding(scenario);
    auto* label = new QLabel(q(ai::display_name(scenario)), bindings_);
    label->setToolTip(q(ai::description(scenario)));
    auto* profile = new QComboBox(bindings_);
    profile->setObjectName(q("bind_" + std::string(ai::raw_value(scenario))));
    profile->addItem(ui_text("desktop.settings.ai.use_default"));
    for (const auto& p : model_->profiles()) {
      profile->addItem(q(ai::shown_name(p)), q(p.id));
      if (bound && bound->profileId == p.id) profile->setCurrentIndex(profile->count() - 1);
    }
    auto* model = new QLineEdit(bindings_);
    model->setPlaceholderText(ui_text("desktop.settings.ai.profile_model"));
    if (bound && bound->modelOverride) model->setText(q(*bound->modelOverride));
    model->setEnabled(profile->currentIndex() > 0);
    auto store = [this, scenario, profile, model] {
      const QVariant id = profile->currentData();
      model->setEnabled(id.isValid());
      model_->bind(scenario,
                   id.isValid() ? std::optional(id.toString().toStdString()) : std::nullopt,
                   id.isValid() ? model->text().toStdString() : std::string());
      show_status();
      if (editor_.onChanged) editor_.onChanged(settings::aiScenarioBindings.key);
    };
    connect(profile, &QComboBox::currentIndexChanged, this, store);
    connect(model, &QLineEdit::editingFinished, this, store);
    grid->addWidget(label, row, 0);
    grid->addWidget(profile, row, 1);
    grid->addWidget(model, row, 2);
    ++row;
  }
  grid->setColumnStretch(2, 1);
}

void AiPage::show_status() {
  const auto hint = model_->status_hint();
  status_->setText(hint ? q(*hint) : ui_text("desktop.settings.ai.ready"));
}

}  // namespace kestrova::app::desktop
