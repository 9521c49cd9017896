#pragma once

#include <QMap>
#include <QTextBrowser>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/desktop/message_translator.h"
#include "store/email_message.h"

class QLabel;
class QPushButton;
class QHBoxLayout;
class QTemporaryDir;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

// The body view: a text browser that shows only what it is handed. It never loads a
// resource by itself (no files, no network): images the user allowed are fetched by
// Kestrova's HTTP client and handed over with set_image; links are not followed but
// reported through `linkActivated`.
class MessageBodyView : public QTextBrowser {
 public:
  explicit MessageBodyView(QWidget* parent = nullptr);
  void clear_images() { images_.clear(); }
  void show_html(const QString& html) {
    html_ = html;
    setHtml(html);
  }
  void set_image(const QUrl& url, const QByteArray& data);
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  QMap<QUrl, QVariant> images_;
  QString html_;
};

// The right pane: headers, the privacy bar, the remote-images bar, the AI's summary and
// action items, the internal note, attachments, the translation bar and the body.
class ReadingPane : public QWidget {
 public:
  ReadingPane(store::EmailDatabase& database, UserPreferences& preferences,
              QWidget* parent = nullptr);
  ~ReadingPane() override;

  // Shows the stored message `id` (read again from the database); nothing shown when it is
  // gone.
  void show_message(const std::string& id);
  void clear();
  const std::optional<store::EmailMessage>& message() const { return message_; }
  // Re-reads the settings the pane follows and draws the message again.
  void apply_settings();

  // The text of the privacy bar and of the images bar, for tests; empty when hidden.
  QString privacy_text() const;
  QString images_bar_text() const;
  QString body_html() const;
  void load_images_once();
  void always_load_images_from_sender();

  // Translation on request: the body shows the translation until show_original().
  void translate();
  void show_original();
  const MessageTranslator& translator() const { return translator_; }
  // The translation bar's text, for tests; empty when hidden.
  QString translation_text() const;

  // Attachments, read off the interface thread (from the stored file, the kept original or
  // the server). Opening writes a private copy (0600, in a folder of the user's own, 0700,
  // removed with the pane) and hands it to the desktop's default application; saving writes
  // where the file dialog says.
  void open_attachment(const QString& name);
  void save_attachment_as(const QString& name, const QString& target);

  std::function<void(const QString& url)> onLinkHovered;
  // A line for the status bar: an attachment saved, or why it could not be.
  std::function<void(const QString& text)> onStatus;
  // How an opened attachment reaches the desktop (QDesktopServices::openUrl by default).
  std::function<bool(const QUrl& file)> openFile;

 private:
  void render();
  void fetch_remote_images(const std::string& html);
  void update_translation_bar();
  // Writes the attachment `name` of the message shown to `target` on a pool thread, then
  // calls `done` on the main thread with the file written (empty on failure).
  void write_attachment(const QString& name, const QString& target,
                        std::function<void(const QString& file)> done);
  void status(const QString& text);

  store::EmailDatabase& database_;
  UserPreferences& preferences_;
  std::optional<store::EmailMessage> message_;
  bool imagesAllowedOnce_ = false;
  int generation_ = 0;  // drops image fetches of a message no longer shown
  MessageTranslator translator_;
  std::unique_ptr<QTemporaryDir> opened_;  // private copies of opened attachments
  int openedCount_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  QWidget* header_;
  QLabel* subject_;
  QLabel* meta_;
  QLabel* tags_;
  QLabel* privacy_;
  QWidget* imagesBar_;
  QLabel* imagesText_;
  QPushButton* translateButton_;
  QWidget* translationBar_;
  QLabel* translationText_;
  QPushButton* translationBack_;
  QLabel* summary_;
  QLabel* note_;
  QWidget* attachments_;
  QHBoxLayout* attachmentsLayout_;
  MessageBodyView* body_;
  QLabel* empty_;
};

}  // namespace kestrova::app::desktop
