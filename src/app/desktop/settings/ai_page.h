#pragma once

#include <QWidget>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kestrova::app::desktop {

class AiSettings;
class SettingsEditor;

// AI: the service profiles (list, add, edit, remove, test), which profile serves each
// scenario, the AI features on mail with the background analysis, and super-privacy mode.
// API keys are typed into a password field and never shown again.
class AiPage : public QWidget {
 public:
  AiPage(SettingsEditor& editor, QWidget* parent);
  ~AiPage() override;

  AiSettings& model() { return *model_; }
  // Chooses the profile `id` in the list and shows it in the form.
  void select_profile(const std::string& id);
  std::string selected_profile() const { return shown_; }
  // Adds a profile of the protocol chosen beside the list and selects it.
  void add_profile();
  // Stores the form over the selected profile.
  void save_profile();
  void remove_profile();
  // Stores the form, then tests the profile through the same core call as `kestrova ai
  // profile test`, on a worker thread; the result shows in
  // test_result() when it arrives (testing() is true until then).
  void test_profile();
  bool testing() const { return testing_; }
  QString test_result() const;

  QLineEdit& name_field() { return *name_; }
  QLineEdit& endpoint_field() { return *endpoint_; }
  QComboBox& model_field() { return *modelField_; }
  QLineEdit& key_field() { return *key_; }
  QComboBox& add_protocol() { return *addProtocol_; }

 private:
  void fill_profiles();
  void show_profile();
  void fill_bindings();
  void show_status();

  SettingsEditor& editor_;
  std::unique_ptr<AiSettings> model_;
  std::string shown_;
  bool testing_ = false;
  QLabel* status_ = nullptr;
  QListWidget* profiles_ = nullptr;
  QComboBox* addProtocol_ = nullptr;
  QComboBox* protocol_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* endpoint_ = nullptr;
  QComboBox* modelField_ = nullptr;
  QDoubleSpinBox* timeout_ = nullptr;
  QLineEdit* key_ = nullptr;
  QCheckBox* clearKey_ = nullptr;
  QCheckBox* isDefault_ = nullptr;
  QPushButton* test_ = nullptr;
  QLabel* result_ = nullptr;
  QWidget* bindings_ = nullptr;
};

}  // namespace kestrova::app::desktop
